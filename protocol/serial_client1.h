// The protocol client: one object that owns the serial port (its base), the receive thread, the
// image file being read, the assembly buffer of received headers and the state of the upgrade run.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <thread>

#include "protocol/client_owner.h"
#include "serial/sock_rs232c1.h"

namespace wick {

class CSerialClient1 : public CSockRS232C1 {
 public:
  using TraceSink = std::function<void(int level, const char* text)>;

  explicit CSerialClient1(platform::SerialDeviceProvider& devices = platform::SystemSerialDevices(),
                          platform::Clock& clock = platform::RealClock());
  ~CSerialClient1() override;

  void Reset();
  void CloseFile();
  // The one sink of every trace line. Levels: 0 port and link, 1 errors, 4 received headers, 5 sent
  // packets. Without a sink plugged in, lines go nowhere.
  void Trace(int level, const char* text);
  void SetTraceSink(TraceSink sink) { m_traceSink = std::move(sink); }

  // Opens the port and starts the receive thread. 1 when the port is open and the thread runs (also
  // when it was open already), 0 on failure.
  int Open(DCB settings, const char* name);
  // Stops the receive thread and closes the port. 1 when the port was closed, 0 when it was not
  // open or closing failed (the thread then serves the still open port again).
  int Close();
  // Writes the bytes and pauses 10 ms. 0 when the port is open, whether or not the write went
  // through; -1 when it is not open.
  int Send(const void* data, int32_t len);

  // The owner, when m_pOwner designates a client owner.
  ClientOwner* Owner() const;

  FILE* m_pFile = nullptr;
  int32_t m_nOffset = 0;
  uint8_t m_RecvBuf[40961];
  int32_t m_nRecvLen = 0;
  int32_t m_nErrCount = 0;
  int32_t m_bBusy = 0;
  uint32_t m_nThreadId = 0;
  std::jthread m_hThread;
  char m_szPortName[264];
  uint8_t m_ChunkBuf[1025];
  uint32_t m_nReadLen = 0;
  int32_t m_nChunkIndex = 0;
  int32_t m_nRetryCount = 0;
  int32_t m_bUpgrade = 0;

 private:
  bool StartRxThread();
  void StopRxThread();

  TraceSink m_traceSink;
};

}  // namespace wick
