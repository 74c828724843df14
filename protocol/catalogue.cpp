// Further requests (reboot, read, write, index, pause, init), the parsers of the box's replies, the
// box's error codes, and the chunk flow that sends an image file in 1024-byte chunks as the box's
// replies ask for them.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "protocol/serial_client1.h"
#include "util/crc32.h"

namespace wick {

namespace {

constexpr uint16_t INDEX_BODY_SIZE = 1044;
constexpr int32_t INDEX_DATA_SIZE = 1026;

constexpr size_t CONNECTION_BODY_SIZE = 52;

constexpr uint32_t CHUNK_READ_SIZE = 1024;

// wArg of the box's reply in the chunk flow.
constexpr uint16_t REPLY_NEXT = 0;
constexpr uint16_t REPLY_RESTART = 1;
constexpr uint16_t REPLY_RESEND = 3;

// wArg of the PC's end-of-data command.
constexpr uint16_t ARG_END_OF_DATA = 2;

uint16_t Get16(const uint8_t* at) {
  return static_cast<uint16_t>(at[0] | (at[1] << 8));
}

// The header line every parser starts with: "Recv[<name>-Header]: start, end, code, arg, data1".
void TraceHeaderLine(CSerialClient1& client, const char* name, const PacketHeader& h) {
  char line[520];
  std::snprintf(line, sizeof line, "Recv[%s-Header]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x", name, h.wStart,
                h.wEnd, h.wCode, h.wArg, h.wData1);
  client.Trace(4, line);
}

// The marks of a reply header, compared as words in the PC's own layout. False (after the error
// line) when either is wrong.
bool MarksOk(CSerialClient1& client, const char* name, const PacketHeader& h) {
  if (h.wStart == HEADER_START_MARK && h.wEnd == HEADER_END_MARK) {
    return true;
  }
  char line[520];
  std::snprintf(line, sizeof line, "Recv[%s-Header]: error", name);
  client.Trace(1, line);
  return false;
}

struct ErrorText {
  uint16_t code;
  const char* text;
};

constexpr std::array<ErrorText, 10> ERROR_TEXTS = {{
    {0x50, "0x50: etc error."},
    {0x100, "0x100: connection error."},
    {0x110, "0x110: rebooting error."},
    {0x120, "0x120: boot loader upgrade error."},
    {0x121, "0x121: firmware upgrade error."},
    {0x130, "0x130: read data error."},
    {0x140, "0x140: write data error."},
    {0x150, "0x150: index data error."},
    {0x160, "0x160: pause data error."},
    {0x161, "0x161: init data error."},
}};

// What tells the four chunk-flow handlers apart.
struct ChunkFlow {
  const char* name;  // in the header and error lines
  int32_t mode;      // the window's mode in which chunks are sent
  int (CSerialClient1::*request)(const uint8_t*, int32_t, int32_t);
  bool limited;  // resends are bounded by the owner's m_nResendLimit
  const char* endName;
  uint16_t endCode;
};

constexpr ChunkFlow FLOW_B{.name = "ResUpgradeB",
                           .mode = kModeBootAndFirmware,
                           .request = &CSerialClient1::ReqUpgradeB,
                           .limited = true,
                           .endName = "ResUpgradeB",
                           .endCode = CODE_UPGRADE_B};
constexpr ChunkFlow FLOW_F{.name = "ResUpgradeF",
                           .mode = kModeFirmware,
                           .request = &CSerialClient1::ReqUpgradeF,
                           .limited = false,
                           .endName = "ResUpgradeF",
                           .endCode = CODE_UPGRADE_F};
constexpr ChunkFlow FLOW_F2{.name = "ResUpgradeF",
                            .mode = kModeBootAndFirmware,
                            .request = &CSerialClient1::ReqUpgradeF,
                            .limited = false,
                            .endName = "ResUpgradeF",
                            .endCode = CODE_UPGRADE_F};
// Mode 3, yet its chunks go out as channel-data requests (0x1042).
constexpr ChunkFlow FLOW_F3{.name = "ResUpgradeF",
                            .mode = kModeModule,
                            .request = &CSerialClient1::ReqUpgradeC,
                            .limited = false,
                            .endName = "ResUpgradeF",
                            .endCode = CODE_UPGRADE_F};

// One reply of the box in the chunk flow: wArg 1 opens the image and sends chunk 0, wArg 0 sends
// the next chunk (or ends the run at the end of the file), wArg 3 sends the last chunk again.
int RunChunkFlow(CSerialClient1& client, const ChunkFlow& flow, const PacketHeader& h) {
  TraceHeaderLine(client, flow.name, h);
  if (!MarksOk(client, flow.name, h)) {
    return -1;
  }
  ClientOwner* owner = client.Owner();

  switch (h.wArg) {
    case REPLY_RESTART:
      std::memset(client.m_ChunkBuf, 0, sizeof client.m_ChunkBuf);
      client.m_nReadLen = 0;
      client.m_nChunkIndex = 0;
      client.m_nRetryCount = 0;
      client.CloseFile();
      if (owner == nullptr) {
        return -1;
      }
      // By its full path: the current folder has nothing to do with where the image lies.
      client.m_pFile = std::fopen(owner->m_szPathName, "rb");
      if (client.m_pFile == nullptr) {
        return -1;
      }
      break;
    case REPLY_NEXT:
      if (owner == nullptr || client.m_pFile == nullptr) {
        return -1;
      }
      break;
    case REPLY_RESEND: {
      ++client.m_nRetryCount;
      if (owner == nullptr || owner->m_nMode != flow.mode) {
        return 0;
      }
      if (!flow.limited || client.m_nRetryCount <= owner->m_nResendLimit) {
        if ((client.*flow.request)(client.m_ChunkBuf, static_cast<int32_t>(client.m_nReadLen),
                                   client.m_nChunkIndex) < 0) {
          return -1;
        }
      }
      client.m_nRetryCount = 0;
      return 0;
    }
    default:
      return 0;
  }

  // The next chunk. A read error ends the run like the end of the file does.
  client.m_nReadLen =
      static_cast<uint32_t>(std::fread(client.m_ChunkBuf, 1, CHUNK_READ_SIZE, client.m_pFile));
  if (client.m_nReadLen > 0) {
    if (owner->m_nMode == flow.mode) {
      if ((client.*flow.request)(client.m_ChunkBuf, static_cast<int32_t>(client.m_nReadLen),
                                 client.m_nChunkIndex) < 0) {
        return -1;
      }
    }
    ++client.m_nChunkIndex;
    return 0;
  }
  client.CloseFile();
  client.SendCommand(5, flow.endName, flow.endCode, ARG_END_OF_DATA, 0, 0);
  return 0;
}

}  // namespace

// --- Requests
// -------------------------------------------------------------------------------------

void CSerialClient1::ReqRebooting() {
  SendCommand(5, "ReqRebooting", CODE_REBOOTING, 0, 0, 0);
}

void CSerialClient1::ReqPauseData() {
  SendCommand(5, "ReqPauseData", CODE_PAUSE_DATA, 0, 0, 0);
}

void CSerialClient1::ReqInitData() {
  SendCommand(5, "ReqInitData", CODE_INIT_DATA, 0, 0, 0);
}

int CSerialClient1::ReqReadData(const uint8_t* data, int32_t count, int32_t index) {
  return SendBodyRequest(CODE_READ_DATA, "ReqReadData", data, count, index);
}

int CSerialClient1::ReqWriteData(const uint8_t* data, int32_t count, int32_t index) {
  return SendBodyRequest(CODE_WRITE_DATA, "ReqWriteData", data, count, index);
}

int CSerialClient1::ReqIndexData(const uint8_t* data, int32_t count, int32_t index) {
  char line[520];
  if (count < 0 || count > INDEX_DATA_SIZE) {
    std::snprintf(line, sizeof line, "Send[ReqIndexData]: index %d of %d bytes refused, at most %d",
                  index, count, INDEX_DATA_SIZE);
    Trace(1, line);
    return -1;
  }
  if (data == nullptr && count > 0) {
    std::snprintf(line, sizeof line, "Send[ReqIndexData]: index %d of %d bytes refused, no data",
                  index, count);
    Trace(1, line);
    return -1;
  }

  // Header, then IndexBody: start mark, reserved word, index, count, CRC-32, 1026 bytes of data
  // (zero past the count), end mark.
  std::array<uint8_t, N_BYTE_HEADER_SIZE + INDEX_BODY_SIZE> packet{};
  PacketHeader h;
  MakeHeader(CODE_INDEX_DATA, 0, INDEX_BODY_SIZE, h);
  SerializeHeader(h, packet.data());
  uint8_t* body = packet.data() + N_BYTE_HEADER_SIZE;
  const uint32_t crc = Crc32(data, static_cast<uint32_t>(count));
  Put16(body + 0, BODY_START_MARK);
  Put32(body + 4, static_cast<uint32_t>(index));
  Put32(body + 8, static_cast<uint32_t>(count));
  Put32(body + 12, crc);
  if (count > 0) {
    std::memcpy(body + 16, data, static_cast<size_t>(count));
  }
  Put16(body + 1042, BODY_END_MARK);
  if (Send(packet.data(), static_cast<int32_t>(packet.size())) != 0) {
    return -1;
  }
  std::snprintf(line, sizeof line,
                "Send[ReqIndexData]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x, 0x%x, %d, %d, %d",
                h.wStart, h.wEnd, h.wCode, h.wArg, h.wData1, BODY_START_MARK, BODY_END_MARK, index,
                count, static_cast<int32_t>(crc));
  Trace(5, line);
  return 0;
}

// --- Reply parsers
// --------------------------------------------------------------------------------

int CSerialClient1::ResReadData(const PacketHeader& header, const uint8_t*, size_t) {
  TraceHeaderLine(*this, "ResReadData", header);
  return 0;
}

int CSerialClient1::ResWriteData(const PacketHeader& header, const uint8_t*, size_t) {
  TraceHeaderLine(*this, "ResWriteData", header);
  return 0;
}

int CSerialClient1::ResIndexData(const PacketHeader& header, const uint8_t*, size_t) {
  TraceHeaderLine(*this, "ResIndexData", header);
  return 0;
}

int CSerialClient1::ResPauseData(const PacketHeader& header, const uint8_t*, size_t) {
  TraceHeaderLine(*this, "ResPauseData", header);
  return 0;
}

int CSerialClient1::ResInitData(const PacketHeader& header, const uint8_t*, size_t) {
  TraceHeaderLine(*this, "ResInitData", header);
  return 0;
}

int CSerialClient1::ResRebooting(const PacketHeader& header, const uint8_t*, size_t) {
  TraceHeaderLine(*this, "ResRebooting", header);
  if (!MarksOk(*this, "ResRebooting", header)) {
    return -1;
  }
  if (header.wArg != 0) {
    return 0;
  }
  return m_bReplyOk != 0 ? 0 : -1;
}

int CSerialClient1::ResConnection(const PacketHeader& header, const uint8_t* packet, size_t len) {
  TraceHeaderLine(*this, "ResConnection", header);
  if (!MarksOk(*this, "ResConnection", header)) {
    return -1;
  }
  if (header.wArg != 0) {
    ReportError(1, header.wArg);
    return 0;
  }

  // ConnectionBody: start mark, three 16-byte texts, end mark. Only what wData1 names and the
  // packet holds is copied; the rest stays 0.
  std::array<uint8_t, CONNECTION_BODY_SIZE> body{};
  size_t held = (packet != nullptr && len > N_BYTE_HEADER_SIZE) ? len - N_BYTE_HEADER_SIZE : 0;
  size_t take = std::min({static_cast<size_t>(header.wData1), CONNECTION_BODY_SIZE, held});
  if (take > 0) {
    std::memcpy(body.data(), packet + N_BYTE_HEADER_SIZE, take);
  }
  const uint16_t startMark = Get16(body.data() + 0);
  const uint16_t endMark = Get16(body.data() + 50);
  const auto* text = reinterpret_cast<const char*>(body.data());

  // A text that fills its 16 bytes has no NUL: it is shown as its 16 characters.
  char line[520];
  std::snprintf(line, sizeof line, "Recv[ResConnection-Body  ]: 0x%x, 0x%x, %.16s, %.16s, %.16s",
                startMark, endMark, text + 2, text + 18, text + 34);
  Trace(4, line);
  if (startMark != BODY_START_MARK || endMark != BODY_END_MARK) {
    Trace(1, "Recv[ResConnection-Body  ]: error");
    return -1;
  }
  return m_bReplyOk != 0 ? 0 : -1;
}

void CSerialClient1::ReportError(int level, uint32_t code) {
  const auto key = static_cast<uint16_t>(code & 0xFFFF);
  for (const ErrorText& e : ERROR_TEXTS) {
    if (e.code == key) {
      Trace(level, e.text);
      return;
    }
  }
}

// --- The chunk flow
// -------------------------------------------------------------------------------

int CSerialClient1::ResUpgradeB(const PacketHeader& header, const uint8_t*, size_t) {
  return RunChunkFlow(*this, FLOW_B, header);
}

int CSerialClient1::ResUpgradeF(const PacketHeader& header, const uint8_t*, size_t) {
  return RunChunkFlow(*this, FLOW_F, header);
}

int CSerialClient1::ResUpgradeF2(const PacketHeader& header, const uint8_t*, size_t) {
  return RunChunkFlow(*this, FLOW_F2, header);
}

int CSerialClient1::ResUpgradeF3(const PacketHeader& header, const uint8_t*, size_t) {
  return RunChunkFlow(*this, FLOW_F3, header);
}

}  // namespace wick
