// Building, sending and recognising the 12-byte command headers.
#include <cstdio>
#include <cstring>

#include "platform/debug_output.h"
#include "protocol/serial_client1.h"

namespace wick {

void CSerialClient1::MakeHeader(uint16_t code, uint16_t arg, uint16_t data1, PacketHeader& header) {
  header.wStart = HEADER_START_MARK;
  header.wCode = code;
  header.wArg = arg;
  header.wData1 = data1;
  header.wEnd = HEADER_END_MARK;
}

int CSerialClient1::SendCommand(int level, const char* name, uint16_t code, uint16_t arg,
                                uint16_t data1, uint16_t tail) {
  PacketHeader h;
  MakeHeader(code, arg, data1, h);
  uint8_t packet[N_BYTE_HEADER_SIZE + 2];
  SerializeHeader(h, packet);
  packet[12] = static_cast<uint8_t>(tail & 0xFF);
  packet[13] = static_cast<uint8_t>(tail >> 8);
  if (int r = Send(packet, sizeof packet); r != 0) {
    return r;
  }
  char line[520];
  std::snprintf(line, sizeof line, "Send[%.400s]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x", name,
                h.wStart, h.wEnd, h.wCode, h.wArg, h.wData1, tail);
  Trace(level, line);
  return 0;
}

int CSerialClient1::SendReply(int level, const char* name, uint16_t code, uint16_t arg,
                              uint16_t data1, uint16_t data2) {
  PacketHeader h;
  MakeHeader(code, arg, data1, h);
  h.wData2 = data2;
  uint8_t packet[N_BYTE_HEADER_SIZE];
  SerializeHeader(h, packet);
  if (int r = Send(packet, sizeof packet); r != 0) {
    return r;
  }
  char line[520];
  std::snprintf(line, sizeof line, "ex_Send[%.400s]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x", name,
                h.wStart, h.wEnd, h.wCode, h.wArg, h.wData1, h.wData2);
  Trace(level, line);
  return 0;
}

int CSerialClient1::RecognizeHeader(int32_t& state, PacketHeader& header) {
  if (m_nRecvLen < static_cast<int32_t>(N_BYTE_HEADER_SIZE)) {
    state = 1;
    return 0;
  }
  // Only the end mark is tested: byte 0 is the sync byte the buffer was aligned on, byte 1 is
  // never looked at.
  if (m_RecvBuf[11] == 0x8D && m_RecvBuf[10] == 0xC5) {
    auto word = [this](int at) {
      return static_cast<uint16_t>(m_RecvBuf[at] * 256 + m_RecvBuf[at + 1]);
    };
    header.wCode = word(2);
    header.wArg = word(4);
    header.wData1 = word(6);
    header.wData2 = word(8);
    // Bytes held beyond the header go with the rest: the receive thread offers them again.
    std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
    m_nRecvLen = 0;
    state = 0;
    return 1;
  }
  platform::DebugTrace("< N_BYTE_HEADER_SIZE\n");
  return 1;
}

}  // namespace wick
