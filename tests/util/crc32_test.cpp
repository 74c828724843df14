#include "util/crc32.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace wick {
namespace {

// The checksum one bit at a time, straight from the polynomial, with no table at all.
uint32_t BitwiseCrc32(const unsigned char* p, size_t count) {
  uint32_t reg = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) {
    reg ^= p[i];
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 1u) != 0 ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
  }
  return count == 0 ? 0 : reg ^ 0xFFFFFFFFu;
}

// A fixed xorshift stream, so that failures reproduce.
std::vector<unsigned char> PseudoRandomBytes(size_t count, uint32_t seed) {
  std::vector<unsigned char> bytes(count);
  uint32_t x = seed;
  for (auto& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x >> 24);
  }
  return bytes;
}

TEST(Crc32, KnownChecksums) {
  const struct {
    const char* text;
    uint32_t crc;
  } cases[] = {
      {"123456789", 0xCBF43926u},
      {"abc", 0x352441C2u},
      {"a", 0xE8B7BE43u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Crc32(c.text, static_cast<uint32_t>(std::strlen(c.text))), c.crc) << c.text;
  }
}

TEST(Crc32, NoBytesGiveZeroAndAreNotRead) {
  const char byte = 'x';
  EXPECT_EQ(Crc32(&byte, 0), 0u);
  EXPECT_EQ(Crc32(nullptr, 0), 0u);
}

TEST(Crc32, TableEntries) {
  EXPECT_EQ(CRC32_TABLE[0], 0u);
  EXPECT_EQ(CRC32_TABLE[1], 0x77073096u);
  EXPECT_EQ(CRC32_TABLE[128], 0xEDB88320u);
  EXPECT_EQ(CRC32_TABLE[255], 0x2D02EF8Du);
}

TEST(Crc32, EveryByteValueSameAsBitwise) {
  for (uint32_t n = 0; n < 256; ++n) {
    const unsigned char byte = static_cast<unsigned char>(n);
    ASSERT_EQ(Crc32(&byte, 1), BitwiseCrc32(&byte, 1)) << n;
  }
}

// Every start alignment and every length across a few eight-byte blocks, so that the block loop,
// the byte tail and their hand-over are all crossed.
TEST(Crc32, SameAsBitwiseAtEveryAlignmentAndLength) {
  const std::vector<unsigned char> bytes = PseudoRandomBytes(16 + 64, 0x2468ACE1u);
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length = 0; length <= 64; ++length) {
      ASSERT_EQ(Crc32(bytes.data() + offset, static_cast<uint32_t>(length)),
                BitwiseCrc32(bytes.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
}

TEST(Crc32, LargeBufferSameAsBitwise) {
  const std::vector<unsigned char> bytes = PseudoRandomBytes((1u << 20) + 3, 0x13579BDFu);
  EXPECT_EQ(Crc32(bytes.data(), static_cast<uint32_t>(bytes.size())),
            BitwiseCrc32(bytes.data(), bytes.size()));
}

}  // namespace
}  // namespace wick
