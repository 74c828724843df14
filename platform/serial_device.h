// The serial device as the port class sees it: the few operations it needs, each reporting success
// or failure like the communications call it stands in for. The real device is termios
// (termios_device.h); tests add a fake with injectable failures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/comm_types.h"

namespace wick::platform {

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // False when the open that made this device failed; every other operation then fails.
  virtual bool IsValid() const = 0;
  // The errno-style reason of the last failed operation (0 when none failed).
  virtual int LastError() const = 0;

  virtual bool GetState(DCB& dcb) = 0;
  virtual bool SetState(const DCB& dcb) = 0;
  // Setting the mask to 0 also ends a WaitEvent that is in progress.
  virtual bool SetMask(uint32_t mask) = 0;
  virtual bool Setup(uint32_t inQueue, uint32_t outQueue) = 0;
  virtual bool Purge(uint32_t flags) = 0;
  virtual bool SetTimeouts(const COMMTIMEOUTS& timeouts) = 0;
  // SETRTS, CLRRTS, SETDTR, CLRDTR. A device without modem lines (a pseudo-terminal) skips them.
  virtual bool EscapeFunction(uint32_t function) = 0;
  // Clears line errors and reports the bytes waiting. Fails once the line is gone (hung up,
  // unplugged, closed).
  virtual bool ClearError(uint32_t& errors, COMSTAT& status) = 0;
  // Blocks until an event of the mask happens (bytes waiting; a hung-up line counts, so that the
  // reader goes on to find out), the mask is cleared, or CancelWait is called. Returns true with
  // the events when one happened.
  virtual bool WaitEvent(uint32_t& events) = 0;
  // Ends a WaitEvent in progress from another thread (or the next one, if none is waiting).
  virtual void CancelWait() = 0;
  // Reads up to count bytes under the read timeouts; got says how many came.
  virtual bool Read(void* dest, uint32_t count, uint32_t& got) = 0;
  // Writes up to count bytes under the write timeouts; written says how many were taken. A write
  // that cannot place all bytes within the timeout fails with ETIMEDOUT.
  virtual bool Write(const void* src, uint32_t count, uint32_t& written) = 0;
  virtual bool Close() = 0;
};

class SerialDeviceProvider {
 public:
  virtual ~SerialDeviceProvider() = default;
  // Opens the named port exclusively for reading and writing. Always returns a device: one whose
  // open failed reports IsValid false and the reason in LastError.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& name) = 0;
};

// The provider of real devices (termios).
SerialDeviceProvider& SystemSerialDevices();

}  // namespace wick::platform
