// The upgrade engine: assembles the box's bytes into headers and answers each by its code.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "protocol/serial_client1.h"

namespace wick {

namespace {
// Room of the assembly buffer; its last byte stays 0.
constexpr int32_t kRecvRoom = 40960;
}  // namespace

void CSerialClient1::Report(const EngineEvent& event) {
  if (ClientOwner* owner = Owner()) {
    owner->OnEngineEvent(event);
  }
}

int CSerialClient1::OnReceive(const uint8_t* data, uint32_t len) {
  if (!m_bUpgrade) {
    return 0;
  }
  m_bBusy = 1;
  char line[520];

  // While a bad header waits for the error count to clear it, chunks pile up behind it. One that
  // does not fit any more replaces the held bytes, which can only be such a pile; one larger than
  // the whole buffer (the receive thread never hands over more than 4096) is dropped.
  if (len > static_cast<uint32_t>(kRecvRoom)) {
    std::snprintf(line, sizeof line, "Recv: %u bytes at once - chunk dropped!", len);
    Trace(1, line);
    return 0;
  }
  if (static_cast<int64_t>(m_nRecvLen) + len > kRecvRoom) {
    std::snprintf(line, sizeof line, "Recv: assembly buffer full - %d held bytes dropped!",
                  m_nRecvLen);
    Trace(1, line);
    std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
    m_nRecvLen = 0;
  }
  std::memcpy(m_RecvBuf + m_nRecvLen, data, len);
  m_nRecvLen += static_cast<int32_t>(len);

  PacketHeader header;
  if (m_nHeaderState == 0) {
    // In this state the buffer held nothing before this chunk, unless a header with a wrong end
    // mark is still waiting at its front.
    const uint8_t* sync = std::find(m_RecvBuf, m_RecvBuf + len, RX_SYNC_BYTE);
    if (sync == m_RecvBuf + len) {
      platform::DebugTrace("들어온 버퍼에 헤더시작이 없을 때\n");
      m_nRecvLen = 0;
      std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
      return 0;
    }
    auto skip = static_cast<int32_t>(sync - m_RecvBuf);
    if (skip > 0) {
      std::memmove(m_RecvBuf, m_RecvBuf + skip, static_cast<size_t>(m_nRecvLen - skip));
      std::memset(m_RecvBuf + m_nRecvLen - skip, 0, static_cast<size_t>(skip));
      m_nRecvLen -= skip;
    }
    if (RecognizeHeader(m_nHeaderState, header) == 0) {
      platform::DebugTrace("잘못된 헤더\n");
      return 0;
    }
    platform::DebugTrace("헤더 인식\n");
  } else if (RecognizeHeader(m_nHeaderState, header) == 0) {
    return 0;
  }

  switch (header.wCode) {
    case CODE_UPGRADE_QUERY:
      SendReply(5, "UPGRADE", CODE_UPGRADE_B, 0, 0, 0);
      break;
    case CODE_SIZE_QUERY: {
      ClientOwner* owner = Owner();
      auto size = static_cast<uint32_t>(owner != nullptr ? owner->m_nFileSize : 0);
      SendReply(5, "B_UPGRADE_START", CODE_UPGRADE_F, 0, static_cast<uint16_t>(size & 0xFFFF),
                static_cast<uint16_t>(size >> 16));
      break;
    }
    case CODE_START_WHOLE:
    case CODE_START_FIRMWARE:
    case CODE_START_MODULE:
    case CODE_START_CHANNEL:
      if (PrepareImage(header.wCode) < 0) {
        return -1;
      }
      SendNextBlock(header);
      break;
    case CODE_NEXT_BLOCK:
      SendNextBlock(header);
      break;
    case CODE_TRANSFER_DONE:
      m_nOffset = 0;
      if (m_nImageState == kImageRefused) {
        // The final CRC of an image that was refused would vouch for data the box never got.
        Trace(1, "Recv: 0x1023 - no CRC sent: the image of this transfer was refused!");
      } else {
        SendReply(5, "CRC", CODE_CRC, 0, static_cast<uint16_t>(m_dwImageCrc >> 16),
                  static_cast<uint16_t>(m_dwImageCrc & 0xFFFF));
        Report({.kind = EngineEvent::kUpgradeDone, .code = header.wCode, .crc = m_dwImageCrc});
      }
      m_bUpgrade = 0;
      break;
    default:
      std::snprintf(line, sizeof line, "Recv: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x - packet code error!",
                    header.wStart, header.wEnd, header.wCode, header.wArg, header.wData1);
      Trace(1, line);
      ++m_nErrCount;
      if (m_nErrCount > 10) {
        std::memset(m_RecvBuf, 0, static_cast<size_t>(m_nRecvLen));
        m_nRecvLen = 0;
        m_nErrCount = 0;
      }
      return -1;
  }
  m_bBusy = 0;
  return 0;
}

}  // namespace wick
