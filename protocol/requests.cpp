// The start requests: one packet that announces an upgrade and its byte count, or one chunk of
// the image with its index and CRC-32. The data requests of the catalogue share the same packets.
#include <array>
#include <cstdio>
#include <cstring>

#include "protocol/serial_client1.h"
#include "util/crc32.h"

namespace wick {

namespace {

// Body lengths, as wData1 carries them.
constexpr uint16_t START_BODY_SIZE = 12;
constexpr uint16_t CHUNK_BODY_SIZE = 1040;
// Room for data in a chunk body.
constexpr int32_t CHUNK_DATA_SIZE = 1024;

// wArg of a request: the announcement or one chunk.
constexpr uint16_t ARG_ANNOUNCE = 1;
constexpr uint16_t ARG_CHUNK = 0;

// Only this index selects the announcement; every other value is a chunk's index.
constexpr int32_t ANNOUNCE_INDEX = -1;

}  // namespace

int CSerialClient1::SendBodyRequest(uint16_t code, const char* tag, const uint8_t* data,
                                    int32_t count, int32_t index) {
  char line[520];
  PacketHeader h;

  if (index == ANNOUNCE_INDEX) {
    // Header, then StartBody: start mark, reserved word, total count, end mark, reserved word.
    std::array<uint8_t, N_BYTE_HEADER_SIZE + START_BODY_SIZE> packet{};
    MakeHeader(code, ARG_ANNOUNCE, START_BODY_SIZE, h);
    SerializeHeader(h, packet.data());
    uint8_t* body = packet.data() + N_BYTE_HEADER_SIZE;
    Put16(body + 0, BODY_START_MARK);
    Put32(body + 4, static_cast<uint32_t>(count));
    Put16(body + 8, BODY_END_MARK);
    if (Send(packet.data(), static_cast<int32_t>(packet.size())) != 0) {
      return -1;
    }
    std::snprintf(line, sizeof line, "Send[%s:%d]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x, 0x%x, %d",
                  tag, index, h.wStart, h.wEnd, h.wCode, h.wArg, h.wData1, BODY_START_MARK,
                  BODY_END_MARK, count);
    Trace(5, line);
    return 0;
  }

  // The data field holds 1024 bytes; a larger (or negative) count would send bytes that are not
  // there or claim bytes that are not sent.
  if (count < 0 || count > CHUNK_DATA_SIZE) {
    std::snprintf(line, sizeof line, "Send[%s:%d]: chunk of %d bytes refused, at most %d", tag,
                  index, count, CHUNK_DATA_SIZE);
    Trace(1, line);
    return -1;
  }
  if (data == nullptr && count > 0) {
    std::snprintf(line, sizeof line, "Send[%s:%d]: chunk of %d bytes refused, no data", tag, index,
                  count);
    Trace(1, line);
    return -1;
  }

  // Header, then ChunkBody: start mark, index, count, reserved word, CRC-32, 1024 bytes of data
  // (zero past the count), reserved word, end mark.
  std::array<uint8_t, N_BYTE_HEADER_SIZE + CHUNK_BODY_SIZE> packet{};
  MakeHeader(code, ARG_CHUNK, CHUNK_BODY_SIZE, h);
  SerializeHeader(h, packet.data());
  uint8_t* body = packet.data() + N_BYTE_HEADER_SIZE;
  const auto indexField = static_cast<uint16_t>(static_cast<uint32_t>(index) & 0xFFFF);
  const auto countField = static_cast<uint16_t>(count);
  const uint32_t crc = Crc32(data, static_cast<uint32_t>(count));
  Put16(body + 0, BODY_START_MARK);
  Put16(body + 2, indexField);
  Put16(body + 4, countField);
  Put32(body + 8, crc);
  if (count > 0) {
    std::memcpy(body + 12, data, static_cast<size_t>(count));
  }
  Put16(body + 1038, BODY_END_MARK);
  if (Send(packet.data(), static_cast<int32_t>(packet.size())) != 0) {
    return -1;
  }
  std::snprintf(line, sizeof line,
                "Send[%s:%d]: 0x%x, 0x%x, 0x%x, 0x%x, 0x%x = 0x%x, 0x%x, %d, %d, %d", tag, index,
                h.wStart, h.wEnd, h.wCode, h.wArg, h.wData1, BODY_START_MARK, BODY_END_MARK,
                static_cast<int>(indexField), static_cast<int>(static_cast<int16_t>(countField)),
                static_cast<int32_t>(crc));
  Trace(5, line);
  return 0;
}

int CSerialClient1::ReqUpgradeF(const uint8_t* data, int32_t count, int32_t index) {
  return SendBodyRequest(CODE_UPGRADE_F, "ReqUpgradeF", data, count, index);
}

int CSerialClient1::ReqUpgradeB(const uint8_t* data, int32_t count, int32_t index) {
  return SendBodyRequest(CODE_UPGRADE_B, "ReqUpgradeB", data, count, index);
}

// The module and channel-data requests carry the firmware tag: only their code tells them apart
// in a trace line.
int CSerialClient1::ReqUpgradeM(const uint8_t* data, int32_t count, int32_t index) {
  return SendBodyRequest(CODE_UPGRADE_M, "ReqUpgradeF", data, count, index);
}

int CSerialClient1::ReqUpgradeC(const uint8_t* data, int32_t count, int32_t index) {
  return SendBodyRequest(CODE_UPGRADE_C, "ReqUpgradeF", data, count, index);
}

}  // namespace wick
