// The 12-byte command header that frames everything between the PC and the box, its marks, and
// the catalogue of command codes.
#pragma once

#include <cstdint>

#include "serial/rx_thread.h"

namespace wick {

struct PacketHeader {
  uint16_t wStart = 0;
  uint16_t wCode = 0;
  uint16_t wArg = 0;
  uint16_t wData1 = 0;
  uint16_t wData2 = 0;
  uint16_t wEnd = 0;
};

inline constexpr uint16_t HEADER_START_MARK = 0xC9FD;
inline constexpr uint16_t HEADER_END_MARK = 0xC58D;
inline constexpr uint16_t BODY_START_MARK = 0xC5FE;
inline constexpr uint16_t BODY_END_MARK = 0xC90D;

inline constexpr uint32_t BLOCK_SIZE = 8192;
inline constexpr uint32_t PIECE_SIZE = 1024;

// wArg of a block request (and of a start of transfer): send the block sent last once more.
inline constexpr uint16_t ARG_RESEND = 0x00C0;

// Codes the box sends.
inline constexpr uint16_t CODE_UPGRADE_QUERY = 0x1001;   // answered with 0x1004 "UPGRADE"
inline constexpr uint16_t CODE_START_WHOLE = 0x1005;     // head-and-trailer image, from offset 0
inline constexpr uint16_t CODE_START_FIRMWARE = 0x1007;  // head-and-trailer image, from 0x20000
inline constexpr uint16_t CODE_SIZE_QUERY = 0x1011;      // answered with 0x1006 and the size
inline constexpr uint16_t CODE_NEXT_BLOCK = 0x1021;
inline constexpr uint16_t CODE_TRANSFER_DONE = 0x1023;  // answered with 0x1023 "CRC"
inline constexpr uint16_t CODE_START_MODULE = 0x1041;   // raw image, CRC over 0x40000 bytes
inline constexpr uint16_t CODE_START_CHANNEL = 0x1043;  // raw image, zero-filled to whole blocks

// Codes the PC sends.
inline constexpr uint16_t CODE_REBOOTING = 0x1002;
inline constexpr uint16_t CODE_UPGRADE_B = 0x1004;  // also the reply to 0x1001
inline constexpr uint16_t CODE_UPGRADE_F = 0x1006;  // also the reply to 0x1011
inline constexpr uint16_t CODE_READ_DATA = 0x1008;
inline constexpr uint16_t CODE_WRITE_DATA = 0x1010;
inline constexpr uint16_t CODE_INDEX_DATA = 0x1012;
inline constexpr uint16_t CODE_PAUSE_DATA = 0x1014;
inline constexpr uint16_t CODE_INIT_DATA = 0x1016;
inline constexpr uint16_t CODE_BLOCK = 0x1020;  // wArg 0: a block follows; 1: blank, none follows
inline constexpr uint16_t CODE_CRC = 0x1023;
inline constexpr uint16_t CODE_UPGRADE_M = 0x1040;
inline constexpr uint16_t CODE_UPGRADE_C = 0x1042;

// Every word of the PC's headers and every field of its request bodies leaves low byte first.
inline void Put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value & 0xFF);
  at[1] = static_cast<uint8_t>(value >> 8);
}

inline void Put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    at[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
  }
}

// The PC's header on the wire.
inline void SerializeHeader(const PacketHeader& h, uint8_t out[N_BYTE_HEADER_SIZE]) {
  const uint16_t words[6] = {h.wStart, h.wCode, h.wArg, h.wData1, h.wData2, h.wEnd};
  for (int i = 0; i < 6; ++i) {
    Put16(out + 2 * i, words[i]);
  }
}

}  // namespace wick
