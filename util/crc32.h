// CRC-32 of the reflected polynomial 0xEDB88320 (CRC-32/ISO-HDLC, as in IEEE 802.3 and zip): the
// checksum that guards every image sent to a box.
#pragma once

#include <array>
#include <cstdint>

namespace wick {

namespace crc32_detail {

inline constexpr uint32_t kPolynomial = 0xEDB88320u;

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int bit = 0; bit < 8; ++bit) {
      c = (c & 1u) != 0 ? (c >> 1) ^ kPolynomial : c >> 1;
    }
    table[n] = c;
  }
  return table;
}

}  // namespace crc32_detail

// Entry n is the register after eight shifts of n through the polynomial.
inline constexpr std::array<uint32_t, 256> CRC32_TABLE = crc32_detail::MakeTable();

// CRC of count bytes: register 0xFFFFFFFF, one table step per byte, result complemented. Count 0
// gives 0 without reading bytes, which may then be null. No state: safe from any thread.
uint32_t Crc32(const void* bytes, uint32_t count);

}  // namespace wick
