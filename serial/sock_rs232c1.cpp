#include "serial/sock_rs232c1.h"

#include <new>

#include "platform/debug_output.h"

namespace wick {

using namespace platform;

namespace {
constexpr uint32_t kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
}  // namespace

CSockRS232C1::CSockRS232C1(SerialDeviceProvider& devices, Clock& clock)
    : m_devices(devices), m_clock(clock) {
  m_dcb.BaudRate = 115200;
  m_dcb.ByteSize = 8;
  m_dcb.Parity = NOPARITY;
  m_dcb.StopBits = ONESTOPBIT;
}

CSockRS232C1::~CSockRS232C1() {
  ClosePort();
  m_pRxBuf.reset();
  m_hComm.reset();
}

int CSockRS232C1::InitPort(uint32_t nRxBufSize) {
  m_dwInQueue = 8192;
  m_dwOutQueue = 8192;
  m_pRxBuf.reset(new (std::nothrow) uint8_t[size_t{nRxBufSize} + 1]());
  m_nRxBufSize = m_pRxBuf ? nRxBufSize : 0;
  return m_pRxBuf ? 1 : 0;
}

int CSockRS232C1::OpenPort(DCB settings, const char* name) {
  if (m_bOpen) {
    return 0;
  }
  m_hComm = m_devices.Open(name != nullptr ? name : "");
  SerialDevice& dev = *m_hComm;
  // A device that did open is released again on every failure below, so that a failed attempt
  // never keeps the port from being opened by the next one.
  auto fail = [&](bool release) {
    m_nLastError = dev.LastError();
    if (release && dev.IsValid()) {
      dev.Close();
    }
    return 0;
  };
  if (!dev.GetState(m_dcb)) {
    DebugOutput("Get configuration port has problem.\r\n");
    return fail(true);
  }
  if (!dev.SetMask(EV_RXCHAR) || !dev.Setup(m_dwInQueue, m_dwOutQueue) || !dev.Purge(kPurgeAll)) {
    return fail(true);
  }
  COMMTIMEOUTS preliminary{MAXDWORD, 0, 1000, 0, 1000};
  if (!dev.SetTimeouts(preliminary)) {
    return fail(true);
  }
  m_dcb.BaudRate = settings.BaudRate;
  m_dcb.StopBits = settings.StopBits;
  m_dcb.Parity = settings.Parity;
  m_dcb.ByteSize = settings.ByteSize;
  m_dcb.fOutxCtsFlow = 0;
  m_dcb.fOutxDsrFlow = 0;
  m_dcb.fRtsControl = RTS_CONTROL_ENABLE;
  m_dcb.XonLim = 100;
  m_dcb.XoffLim = 100;
  if (!dev.SetState(m_dcb)) {
    DebugTrace("Set configuration port has problem(%d).\r\n", dev.LastError());
    return fail(true);
  }
  // A write of N bytes ends after at most 3 N + 2 ms; a failure here is ignored.
  COMMTIMEOUTS final{3, 3, 2, 3, 2};
  dev.SetTimeouts(final);
  m_bOpen = 1;
  // Replies from the box can only be trusted while the link is up.
  m_bReplyOk = 1;
  m_nLastError = 0;
  return 1;
}

int CSockRS232C1::ClosePort() {
  if (!m_bOpen) {
    return 1;
  }
  SerialDevice& dev = *m_hComm;
  if (!dev.SetMask(0) || !dev.EscapeFunction(CLRDTR) || !dev.Purge(kPurgeAll)) {
    m_nLastError = dev.LastError();
    return 0;
  }
  m_bOpen = 0;
  m_bReplyOk = 0;
  if (!dev.Close()) {
    m_nLastError = dev.LastError();
    DebugOutput("Port Closeing isn't successed.\r\n");
    return 0;
  }
  return 1;
}

int CSockRS232C1::WritePort(const void* data, uint32_t len) {
  if (!m_hComm) {
    return 0;
  }
  const auto* bytes = static_cast<const uint8_t*>(data);
  uint32_t done = 0;
  bool ok = true;
  do {
    uint32_t written = 0;
    ok = m_hComm->Write(bytes + done, len - done, written);
    done += written;
    // A call that succeeds without taking a byte would repeat for ever: it ends the write.
    if (ok && written == 0 && done < len) {
      ok = false;
    }
  } while (ok && done < len);
  if (!ok) {
    m_nLastError = m_hComm->LastError();
  }
  return ok ? 1 : 0;
}

uint32_t CSockRS232C1::GetRxData(uint8_t* dest) const {
  if (m_nRxCount > 0 && m_pRxBuf) {
    std::copy(m_pRxBuf.get(), m_pRxBuf.get() + m_nRxCount, dest);
  }
  return m_nRxCount;
}

}  // namespace wick
