#include "serial/rx_thread.h"

#include <algorithm>
#include <cstring>

#include "serial/sock_rs232c1.h"

namespace wick {

using namespace platform;

namespace {
constexpr uint32_t kReadPauseMs = 50;
constexpr uint32_t kCyclePauseMs = 1;
}  // namespace

uint32_t AlignOnSync(uint8_t* buf, uint32_t count) {
  const uint8_t* sync = std::find(buf, buf + count, RX_SYNC_BYTE);
  auto skip = static_cast<uint32_t>(sync - buf);
  if (skip > 0) {
    std::memmove(buf, buf + skip, count - skip);
  }
  return count - skip;
}

uint32_t DropHeader(uint8_t* buf, uint32_t count) {
  if (count > N_BYTE_HEADER_SIZE) {
    std::memmove(buf, buf + N_BYTE_HEADER_SIZE, count - N_BYTE_HEADER_SIZE);
    return count - N_BYTE_HEADER_SIZE;
  }
  return 0;
}

unsigned RxThreadProc(std::stop_token stop, CSockRS232C1* object) {
  if (object == nullptr) {
    return 1;
  }
  Clock& clock = object->GetClock();
  uint32_t events = 0;
  bool lineLost = false;
  object->m_nRxCount = 0;

  while (!stop.stop_requested()) {
    SerialDevice* dev = object->m_hComm.get();
    if (dev == nullptr) {
      return 1;
    }
    // Until the first byte arrives the thread blocks on the device rather than polling every
    // millisecond; from then on every cycle reads, whether or not new bytes came, as the box's
    // timing expects.
    if ((events & EV_RXCHAR) == 0) {
      std::stop_callback wake(stop, [dev] { dev->CancelWait(); });
      uint32_t got = 0;
      if (dev->WaitEvent(got)) {
        events = got;
      }
    }
    if (stop.stop_requested()) {
      break;
    }
    if (events & EV_RXCHAR) {
      uint32_t errors = 0;
      COMSTAT status{};
      if (!clock.SleepFor(kReadPauseMs, stop)) {
        break;
      }
      if (!dev->ClearError(errors, status)) {
        if (!lineLost && object->m_pOwner != nullptr) {
          object->m_pOwner->OnLineState(dev->LastError());
        }
        lineLost = true;
      } else {
        if (lineLost && object->m_pOwner != nullptr) {
          object->m_pOwner->OnLineState(0);
        }
        lineLost = false;
        // Never more than the buffer has free: what does not fit waits in the device's queue for
        // a later cycle.
        uint32_t n = std::min(
            {object->m_dwInQueue, status.cbInQue, object->m_nRxBufSize - object->m_nRxCount});
        uint32_t got = 0;
        bool ok = n == 0 || dev->Read(object->m_pRxBuf.get() + object->m_nRxCount, n, got);
        if (ok) {
          object->m_nRxCount += got;
          object->m_nRxCount = AlignOnSync(object->m_pRxBuf.get(), object->m_nRxCount);
        }
        if (object->m_nRxCount >= N_BYTE_HEADER_SIZE && object->m_pOwner != nullptr) {
          if (!object->m_pOwner->SendMessage(WM_DATAREADY, 0, object, stop)) {
            break;
          }
          object->m_nRxCount = DropHeader(object->m_pRxBuf.get(), object->m_nRxCount);
        }
      }
    }
    if (!clock.SleepFor(kCyclePauseMs, stop)) {
      break;
    }
  }
  return 1;
}

}  // namespace wick
