// Image files and their preparation for the box's start-of-transfer codes, without I/O: the engine
// prepares what it read with these, and wickflash-cli checks and describes an image with them
// before anything is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace wick {

inline constexpr int64_t IMAGE_HEAD_SIZE = 64;
inline constexpr int64_t IMAGE_TRAILER_SIZE = 4;
inline constexpr int32_t FIRMWARE_START = 0x20000;
inline constexpr uint32_t FIRMWARE_CRC_SIZE = 0x180000;
inline constexpr uint32_t MODULE_CRC_SIZE = 0x40000;

bool IsStartOfTransfer(uint16_t code);
// 0x1005 and 0x1007 read an image with a 64-byte head and a CRC-32 trailer; the others a raw one.
bool HasHeadAndTrailer(uint16_t code);

// The buffer an image of size bytes is prepared in: whole blocks, so that no block is ever read
// from outside it. The room past the file is filled with ImageFill(code).
int64_t ImageBufferSize(int64_t size);
// 0xFF after a head-and-trailer image (it already ends in 0xFF where head and trailer were), zero
// after a raw one.
uint8_t ImageFill(uint16_t code);
// The fewest bytes an image needs for its code: its checksum region must lie inside it.
int64_t ImageLeastSize(uint16_t code);

// The trailer of a head-and-trailer image: the CRC-32 it stores (last 4 bytes, low byte first) and
// the CRC-32 of the bytes before it. False when the image is shorter than the trailer.
bool ReadTrailer(const uint8_t* file, int64_t size, uint32_t& stored, uint32_t& computed);

struct PreparedImage {
  int32_t firstOffset = 0;   // where the transfer's first block lies
  uint32_t crc = 0;          // the CRC-32 of the region the code selects, as the box is told
  uint32_t computedCrc = 0;  // head-and-trailer images: the CRC computed over head and payload
};

// Prepares buffer in place for code: buffer holds the file's size bytes followed by the fill up to
// ImageBufferSize(size). False, with the reason in words, when the image cannot be sent for this
// code (too short, trailer mismatch); out.computedCrc is set for a trailer mismatch too.
bool PrepareImageBuffer(uint16_t code, std::vector<uint8_t>& buffer, int64_t size,
                        PreparedImage& out, std::string& reason);

}  // namespace wick
