// The serial port: owns the device, its line settings and the receive buffer that the receive
// thread fills and the protocol thread reads.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>

#include "platform/clock.h"
#include "platform/comm_types.h"
#include "platform/serial_device.h"

namespace wick {

using platform::COMMTIMEOUTS;
using platform::COMSTAT;
using platform::DCB;

inline constexpr uint32_t WM_USER = 0x0400;
// The receive thread holds 12 or more bytes: wParam 0, lParam the port object.
inline constexpr uint32_t WM_DATAREADY = WM_USER + 201;

class CSockRS232C1;

// The side that the port and its receive thread report to (the window, or a headless front end).
class PortOwner {
 public:
  virtual ~PortOwner() = default;

  // Delivers a message synchronously, as the window's SendMessage would: returns true once the
  // owner has handled it on its protocol thread. The receive thread relies on that: the held bytes
  // do not change until this returns. Returns false without waiting for the handling to end when
  // stop is requested by the thread that handles it (see TaskQueue::Send).
  virtual bool SendMessage(uint32_t message, uintptr_t wParam, CSockRS232C1* lParam,
                           std::stop_token stop) = 0;

  // The line was lost (hung up, unplugged) or came back (error 0). Called on the receive thread,
  // once per change; an owner posts it to its own thread.
  virtual void OnLineState(int error) { (void)error; }
};

class CSockRS232C1 {
 public:
  explicit CSockRS232C1(platform::SerialDeviceProvider& devices = platform::SystemSerialDevices(),
                        platform::Clock& clock = platform::RealClock());
  CSockRS232C1(const CSockRS232C1&) = delete;
  CSockRS232C1& operator=(const CSockRS232C1&) = delete;
  virtual ~CSockRS232C1();

  // Per-owner set-up: queue sizes and a receive buffer of nRxBufSize bytes (plus one). Returns 1,
  // or 0 when the buffer cannot be had.
  int InitPort(uint32_t nRxBufSize);
  // Opens and configures the named port; only BaudRate, ByteSize, Parity and StopBits of settings
  // are taken. Returns 1 when the port is open and configured, 0 otherwise (LastError says why).
  int OpenPort(DCB settings, const char* name);
  // Drops DTR, purges and releases the device. Returns 1 on success or when the port was closed.
  int ClosePort();
  // Writes len bytes; nonzero when the last device write succeeded.
  int WritePort(const void* data, uint32_t len);
  // Copies the held received bytes to dest (which holds m_nRxCount bytes) and returns their count;
  // they stay held.
  uint32_t GetRxData(uint8_t* dest) const;
  int IsOpen() const { return m_bOpen; }
  void SetOpen(int flag) { m_bOpen = flag; }
  platform::SerialDevice* GetHandle() const { return m_hComm.get(); }

  // The errno-style reason of the last failed OpenPort, ClosePort or WritePort, for front ends
  // that tell the user why (0 when none failed).
  int LastError() const { return m_nLastError; }
  platform::Clock& GetClock() const { return m_clock; }

  std::unique_ptr<platform::SerialDevice> m_hComm;
  int m_bOpen = 0;
  DCB m_dcb;
  uint32_t m_dwInQueue = 0;
  uint32_t m_dwOutQueue = 0;
  std::unique_ptr<uint8_t[]> m_pRxBuf;
  uint32_t m_nRxBufSize = 0;  // capacity of m_pRxBuf; one more byte is allocated
  uint32_t m_nRxCount = 0;
  int m_bReplyOk = 0;  // the link is up: set by a successful open, cleared by the close
  PortOwner* m_pOwner = nullptr;

 private:
  platform::SerialDeviceProvider& m_devices;
  platform::Clock& m_clock;
  int m_nLastError = 0;
};

}  // namespace wick
