#include "protocol/serial_client1.h"

#include <atomic>
#include <cstring>
#include <system_error>

#include "serial/rx_thread.h"

namespace wick {

namespace {
// A port-link trace line in its 260-byte buffer. A port name too long for the buffer is cut, not
// the line's ending, so the line still tells what happened.
void TracePortLine(CSerialClient1& client, const char* name, const char* ending) {
  char line[260];
  int room = static_cast<int>(sizeof line - std::strlen(ending) - 1);
  std::snprintf(line, sizeof line, "%.*s%s", room, name != nullptr ? name : "", ending);
  client.Trace(0, line);
}

// Thread identifiers as the client reports them: small, unique per started thread, never 0.
std::atomic<uint32_t> g_nextThreadId{1};
}  // namespace

CSerialClient1::CSerialClient1(platform::SerialDeviceProvider& devices, platform::Clock& clock)
    : CSockRS232C1(devices, clock) {
  Reset();
  m_bUpgrade = 0;
  // Nothing is sent before the first image is prepared; the window shows this offset on its
  // progress bar from the first hand-over on.
  m_nOffset = 0;
}

CSerialClient1::~CSerialClient1() {
  CloseFile();
  // The thread must be gone before the port base closes the device and frees the buffer it fills.
  StopRxThread();
}

void CSerialClient1::Reset() {
  std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
  m_nRecvLen = 0;
  m_nErrCount = 0;
  m_bBusy = 0;
  m_nThreadId = 0;
  std::memset(m_szPortName, 0, sizeof m_szPortName);
  std::memset(m_ChunkBuf, 0, sizeof m_ChunkBuf);
  m_nReadLen = 0;
  m_nChunkIndex = 0;
  m_nRetryCount = 0;
  m_pFile = nullptr;
}

void CSerialClient1::CloseFile() {
  if (m_pFile != nullptr) {
    std::fclose(m_pFile);
    m_pFile = nullptr;
  }
}

void CSerialClient1::Trace(int level, const char* text) {
  if (m_traceSink) {
    m_traceSink(level, text != nullptr ? text : "");
  }
}

ClientOwner* CSerialClient1::Owner() const {
  return dynamic_cast<ClientOwner*>(m_pOwner);
}

bool CSerialClient1::StartRxThread() {
  try {
    m_hThread = std::jthread([this](std::stop_token stop) { RxThreadProc(stop, this); });
  } catch (const std::system_error&) {
    return false;
  }
  m_nThreadId = g_nextThreadId.fetch_add(1);
  return true;
}

void CSerialClient1::StopRxThread() {
  if (m_hThread.joinable()) {
    m_hThread.request_stop();
    m_hThread.join();
  }
  m_hThread = std::jthread();
}

int CSerialClient1::Open(DCB settings, const char* name) {
  if (IsOpen()) {
    return 1;
  }
  if (!OpenPort(settings, name)) {
    TracePortLine(*this, name, " - Open Failed..");
    return 0;
  }
  std::snprintf(m_szPortName, sizeof m_szPortName, "%s", name != nullptr ? name : "");
  if (!StartRxThread()) {
    Close();
    return 0;
  }
  TracePortLine(*this, m_szPortName, " - Open Ok!");
  return 1;
}

int CSerialClient1::Close() {
  if (!IsOpen()) {
    return 0;
  }
  // The thread is stopped first: it must never use a device that is being released.
  bool wasRunning = m_hThread.joinable();
  StopRxThread();
  if (ClosePort() == 1) {
    return 1;
  }
  if (IsOpen() && wasRunning) {
    StartRxThread();
  }
  TracePortLine(*this, m_szPortName, " - Close Failed..");
  return 0;
}

int CSerialClient1::Send(const void* data, int32_t len) {
  if (!IsOpen()) {
    Trace(0, "Port not open.");
    return -1;
  }
  if (len > 0) {
    WritePort(data, static_cast<uint32_t>(len));
    GetClock().Sleep(10);
  }
  return 0;
}

}  // namespace wick
