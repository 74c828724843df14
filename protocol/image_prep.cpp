#include "protocol/image_prep.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "protocol/packet_header.h"
#include "util/crc32.h"

namespace wick {

bool IsStartOfTransfer(uint16_t code) {
  return code == CODE_START_WHOLE || code == CODE_START_FIRMWARE || code == CODE_START_MODULE ||
         code == CODE_START_CHANNEL;
}

bool HasHeadAndTrailer(uint16_t code) {
  return code == CODE_START_WHOLE || code == CODE_START_FIRMWARE;
}

int64_t ImageBufferSize(int64_t size) {
  return size <= 0 ? 0 : (size + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
}

uint8_t ImageFill(uint16_t code) {
  return HasHeadAndTrailer(code) ? 0xFF : 0x00;
}

int64_t ImageLeastSize(uint16_t code) {
  switch (code) {
    case CODE_START_WHOLE:
      return IMAGE_HEAD_SIZE + IMAGE_TRAILER_SIZE;
    case CODE_START_FIRMWARE:
      return FIRMWARE_START + int64_t{FIRMWARE_CRC_SIZE};
    case CODE_START_MODULE:
      return MODULE_CRC_SIZE;
    default:
      return 0;
  }
}

bool ReadTrailer(const uint8_t* file, int64_t size, uint32_t& stored, uint32_t& computed) {
  if (size < IMAGE_TRAILER_SIZE || size - IMAGE_TRAILER_SIZE > UINT32_MAX) {
    return false;
  }
  const uint8_t* t = file + size - IMAGE_TRAILER_SIZE;
  stored = static_cast<uint32_t>(t[0]) | static_cast<uint32_t>(t[1]) << 8 |
           static_cast<uint32_t>(t[2]) << 16 | static_cast<uint32_t>(t[3]) << 24;
  computed = Crc32(file, static_cast<uint32_t>(size - IMAGE_TRAILER_SIZE));
  return true;
}

bool PrepareImageBuffer(uint16_t code, std::vector<uint8_t>& buffer, int64_t size,
                        PreparedImage& out, std::string& reason) {
  char text[160];
  out = PreparedImage{};
  if (size < 0 || static_cast<int64_t>(buffer.size()) < ImageBufferSize(size) ||
      static_cast<int64_t>(buffer.size()) < size) {
    std::snprintf(text, sizeof text, "an image of %" PRId64 " bytes cannot be sent", size);
    reason = text;
    return false;
  }
  // A shorter image would put the checksum region, or the trailer, outside it.
  if (int64_t least = ImageLeastSize(code); size < least) {
    std::snprintf(text, sizeof text,
                  "the image has %" PRId64 " bytes, code 0x%x needs at least %" PRId64, size, code,
                  least);
    reason = text;
    return false;
  }
  uint8_t* image = buffer.data();
  const auto s = static_cast<size_t>(size);
  if (HasHeadAndTrailer(code)) {
    uint32_t stored = 0;
    uint32_t computed = 0;
    ReadTrailer(image, size, stored, computed);
    out.computedCrc = computed;
    if (stored != computed) {
      std::snprintf(text, sizeof text, "image CRC mismatch: stored 0x%08x, computed 0x%08x", stored,
                    computed);
      reason = text;
      return false;
    }
    // The payload moves to the front; where head and trailer were, the image ends in 0xFF.
    const size_t head = IMAGE_HEAD_SIZE;
    const size_t both = IMAGE_HEAD_SIZE + IMAGE_TRAILER_SIZE;
    std::memmove(image, image + head, s - both);
    std::memset(image + s - both, 0xFF, both);
  }
  switch (code) {
    case CODE_START_FIRMWARE:
      out.firstOffset = FIRMWARE_START;
      out.crc = Crc32(image + FIRMWARE_START, FIRMWARE_CRC_SIZE);
      break;
    case CODE_START_MODULE:
      out.crc = Crc32(image, MODULE_CRC_SIZE);
      break;
    default:  // 0x1005: all S prepared bytes; 0x1043: the S file bytes
      out.crc = Crc32(image, static_cast<uint32_t>(s));
      break;
  }
  return true;
}

}  // namespace wick
