// Image files for the end-to-end tests, and what a box must end up with for them, built here
// independently of the code under test.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "util/crc32.h"

namespace wick::test {

inline constexpr size_t kImageBlock = 8192;

// Blank (0xFF) blocks, with distinct data in the blocks listed.
inline std::vector<uint8_t> DataBlocks(size_t bytes, std::initializer_list<size_t> dataBlocks,
                                       uint8_t seed) {
  std::vector<uint8_t> out(bytes, 0xFF);
  for (size_t b : dataBlocks) {
    for (size_t i = b * kImageBlock; i < std::min(bytes, (b + 1) * kImageBlock); ++i) {
      out[i] = static_cast<uint8_t>((i * 131 + seed) % 251);
    }
  }
  return out;
}

// A head-and-trailer image: a 64-byte head, the payload, the CRC-32 of both, low byte first.
inline std::vector<uint8_t> TavImage(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> file(64 + payload.size());
  for (size_t i = 0; i < 64; ++i) {
    file[i] = static_cast<uint8_t>(0xA0 + i);
  }
  std::copy(payload.begin(), payload.end(), file.begin() + 64);
  uint32_t crc = Crc32(file.data(), static_cast<uint32_t>(file.size()));
  for (int i = 0; i < 4; ++i) {
    file.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  }
  return file;
}

// What a box holds after a head-and-trailer transfer: the payload, then 68 bytes of 0xFF, with the
// blocks before the transfer's first block untouched (0xFF).
inline std::vector<uint8_t> ExpectedTav(const std::vector<uint8_t>& payload, size_t firstOffset) {
  std::vector<uint8_t> prepared = payload;
  prepared.insert(prepared.end(), 68, 0xFF);
  std::fill(prepared.begin(), prepared.begin() + static_cast<long>(firstOffset), 0xFF);
  return prepared;
}

}  // namespace wick::test
