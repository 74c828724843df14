// The box's byte stream, arbitrary: framed as the receive thread frames it (align on 0xFD, hand
// over 12 or more held bytes, drop 12) and handed to the upgrade engine, on the fake device with
// the fake clock. Images of every kind are ready for the start codes the stream may carry.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_client.h"
#include "serial/rx_thread.h"
#include "util/crc32.h"

namespace {

// Image files: a good head-and-trailer image, one with a bad trailer, a raw one, a missing one.
struct Images {
  std::string dir;
  std::string paths[4];
  int32_t sizes[4] = {};
  Images() {
    char templ[] = "/tmp/wickfuzz-XXXXXX";
    dir = mkdtemp(templ) != nullptr ? templ : "/tmp";
    std::vector<uint8_t> tav(64 + 3 * 8192, 0x11);
    std::fill(tav.begin() + 64 + 8192, tav.begin() + 64 + 2 * 8192, 0xFF);
    uint32_t crc = wick::Crc32(tav.data(), static_cast<uint32_t>(tav.size()));
    for (int i = 0; i < 4; ++i) {
      tav.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    }
    std::vector<uint8_t> bad = tav;
    bad[100] ^= 1;
    std::vector<uint8_t> raw(0x40000 + 77, 0xFF);
    std::fill(raw.begin(), raw.begin() + 9000, 0x5A);
    const std::vector<uint8_t>* files[3] = {&tav, &bad, &raw};
    for (int i = 0; i < 4; ++i) {
      paths[i] = dir + "/image" + std::to_string(i);
      if (i < 3) {
        FILE* f = std::fopen(paths[i].c_str(), "wb");
        std::fwrite(files[i]->data(), 1, files[i]->size(), f);
        std::fclose(f);
        sizes[i] = static_cast<int32_t>(files[i]->size());
      } else {
        sizes[i] = 1234;
      }
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Images images;
  if (size < 2) {
    return 0;
  }
  wick::fuzz::FuzzClient fuzz;
  wick::CSerialClient1& client = fuzz.client;
  wick::ClientOwner& owner = fuzz.owner;
  const int image = data[0] % 4;
  std::snprintf(owner.m_szPathName, sizeof owner.m_szPathName, "%s", images.paths[image].c_str());
  owner.m_nFileSize = images.sizes[image];
  client.m_bUpgrade = 1;

  // The rest of the input is the stream; each chunk's length comes from one byte of it, as the
  // bytes of one read step would.
  uint8_t* held = client.m_pRxBuf.get();
  size_t at = 1;
  while (at < size) {
    size_t chunk = 1 + data[at++] % 40;
    chunk = std::min({chunk, size - at, size_t{client.m_nRxBufSize - client.m_nRxCount}});
    std::memcpy(held + client.m_nRxCount, data + at, chunk);
    at += chunk;
    client.m_nRxCount += static_cast<uint32_t>(chunk);
    client.m_nRxCount = wick::AlignOnSync(held, client.m_nRxCount);
    if (client.m_nRxCount >= wick::N_BYTE_HEADER_SIZE) {
      uint8_t copy[8192] = {};
      uint32_t n = client.GetRxData(copy);
      client.OnReceive(copy, n);
      client.m_nRxCount = wick::DropHeader(held, client.m_nRxCount);
    }
    // Keep the run going after a final CRC, so that later codes meet a finished run too.
    if (client.m_bUpgrade == 0 && at < size && data[at - 1] % 3 == 0) {
      client.m_bUpgrade = 1;
    }
  }
  return 0;
}
