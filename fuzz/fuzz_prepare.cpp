// Image preparation for every start code with arbitrary contents and sizes, from 0 bytes to past
// the largest checksum region, and the block steps over the prepared image: no read outside it.
#include <cstring>
#include <vector>

#include "fuzz/fuzz_client.h"
#include "protocol/image_prep.h"

namespace {
const uint16_t kCodes[4] = {0x1005, 0x1007, 0x1041, 0x1043};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) {
    return 0;
  }
  const uint16_t code = kCodes[data[0] % 4];
  // Sizes up to a little past 0x1A0000, the end of the firmware checksum region.
  uint32_t raw;
  std::memcpy(&raw, data + 1, 4);
  const int64_t fileSize = raw % (0x1A0000 + 20000);
  const uint8_t* content = data + 5;
  const size_t contentSize = size - 5;

  std::vector<uint8_t> buffer(static_cast<size_t>(wick::ImageBufferSize(fileSize)),
                              wick::ImageFill(code));
  for (int64_t i = 0; i < fileSize; ++i) {
    buffer[static_cast<size_t>(i)] =
        contentSize > 0 ? content[static_cast<size_t>(i) % contentSize] : 0xFF;
  }
  // A stored trailer that matches, now and then, so that the preparation goes on.
  if ((data[0] & 0x10) != 0 && fileSize >= 4) {
    uint32_t stored = 0;
    uint32_t computed = 0;
    wick::ReadTrailer(buffer.data(), fileSize, stored, computed);
    for (int i = 0; i < 4; ++i) {
      buffer[static_cast<size_t>(fileSize - 4 + i)] = static_cast<uint8_t>(computed >> (8 * i));
    }
  }
  wick::PreparedImage prepared;
  std::string reason;
  if (!wick::PrepareImageBuffer(code, buffer, fileSize, prepared, reason)) {
    return 0;
  }

  // The engine's block steps over it, with resends and requests past the end.
  wick::fuzz::FuzzClient fuzz;
  wick::CSerialClient1& client = fuzz.client;
  client.m_pImage = std::move(buffer);
  client.m_nImageSize = static_cast<int32_t>(client.m_pImage.size());
  client.m_nOffset = prepared.firstOffset;
  client.m_nTransferStart = prepared.firstOffset;
  client.m_nImageState = wick::CSerialClient1::kImageReady;
  for (size_t i = 0; i < std::min<size_t>(contentSize, 300); ++i) {
    wick::PacketHeader h;
    h.wCode = 0x1021;
    h.wArg = content[i] % 4 == 0 ? wick::ARG_RESEND : 0;
    client.SendNextBlock(h);
  }
  return 0;
}
