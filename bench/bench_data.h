// Inputs the micro benchmarks share: the same pseudo-random bytes on every run, so that figures
// of different runs compare.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "util/crc32.h"

namespace wick::bench {

inline constexpr size_t kSixteenMiB = size_t{16} << 20;

// count bytes from a fixed seed, made once per size and kept for the process.
inline const std::vector<uint8_t>& RandomBytes(size_t count) {
  static std::map<size_t, std::vector<uint8_t>> made;
  std::vector<uint8_t>& bytes = made[count];
  if (bytes.size() != count) {
    std::mt19937_64 generator(0x5749434Bu);
    bytes.resize(count);
    for (size_t i = 0; i < count; i += 8) {
      uint64_t word = generator();
      for (size_t k = 0; k < 8 && i + k < count; ++k) {
        bytes[i + k] = static_cast<uint8_t>(word >> (8 * k));
      }
    }
  }
  return bytes;
}

// An image file with a 64-byte head and the CRC-32 trailer of everything before it (low byte
// first), as 0x1005 and 0x1007 expect.
inline std::vector<uint8_t> HeadAndTrailerImage(size_t count) {
  std::vector<uint8_t> image = RandomBytes(count);
  const auto crc = Crc32(image.data(), static_cast<uint32_t>(count - 4));
  for (int k = 0; k < 4; ++k) {
    image[count - 4 + static_cast<size_t>(k)] = static_cast<uint8_t>(crc >> (8 * k));
  }
  return image;
}

}  // namespace wick::bench
