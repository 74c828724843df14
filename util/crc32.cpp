#include "util/crc32.h"

#include <bit>
#include <cstring>

namespace wick {
namespace {

// Slicing-by-8: SLICES[k][n] is the register after byte n is followed by k zero bytes, so eight
// input bytes are folded in with eight independent lookups instead of eight dependent ones.
using SliceTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr SliceTables MakeSlices() {
  SliceTables slices{};
  slices[0] = CRC32_TABLE;
  for (size_t k = 1; k < slices.size(); ++k) {
    for (size_t n = 0; n < 256; ++n) {
      uint32_t prev = slices[k - 1][n];
      slices[k][n] = (prev >> 8) ^ CRC32_TABLE[prev & 0xFFu];
    }
  }
  return slices;
}

constexpr SliceTables SLICES = MakeSlices();

static_assert(CRC32_TABLE[1] == 0x77073096u && CRC32_TABLE[128] == 0xEDB88320u &&
              CRC32_TABLE[255] == 0x2D02EF8Du);

constexpr uint64_t ByteSwap64(uint64_t v) {
  uint64_t r = 0;
  for (int i = 0; i < 8; ++i) {
    r = (r << 8) | (v & 0xFFu);
    v >>= 8;
  }
  return r;
}

// Eight bytes as a little-endian word: byte 0 in the low bits, whatever the host's order.
uint64_t LoadLittle64(const unsigned char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) {
    word = ByteSwap64(word);
  }
  return word;
}

}  // namespace

uint32_t Crc32(const void* bytes, uint32_t count) {
  if (count == 0) {
    return 0;
  }
  const auto* p = static_cast<const unsigned char*>(bytes);
  uint32_t reg = 0xFFFFFFFFu;
  size_t left = count;
  while (left >= 8) {
    uint64_t word = LoadLittle64(p);
    uint32_t lo = static_cast<uint32_t>(word) ^ reg;
    uint32_t hi = static_cast<uint32_t>(word >> 32);
    reg = SLICES[7][lo & 0xFFu] ^ SLICES[6][(lo >> 8) & 0xFFu] ^ SLICES[5][(lo >> 16) & 0xFFu] ^
          SLICES[4][lo >> 24] ^ SLICES[3][hi & 0xFFu] ^ SLICES[2][(hi >> 8) & 0xFFu] ^
          SLICES[1][(hi >> 16) & 0xFFu] ^ SLICES[0][hi >> 24];
    p += 8;
    left -= 8;
  }
  while (left > 0) {
    reg = CRC32_TABLE[(reg ^ *p) & 0xFFu] ^ (reg >> 8);
    ++p;
    --left;
  }
  return reg ^ 0xFFFFFFFFu;
}

}  // namespace wick
