// The reply parsers of the catalogue with arbitrary headers and packets, the chunk flow included.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_client.h"

namespace {
std::string ImagePath() {
  static std::string path = [] {
    char templ[] = "/tmp/wickfuzz-chunks-XXXXXX";
    int fd = mkstemp(templ);
    std::vector<uint8_t> bytes(2500, 0x3C);
    [[maybe_unused]] ssize_t w = write(fd, bytes.data(), bytes.size());
    close(fd);
    return std::string(templ);
  }();
  return path;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 13) {
    return 0;
  }
  wick::fuzz::FuzzClient fuzz((data[0] & 0x40) == 0);
  wick::CSerialClient1& client = fuzz.client;
  wick::ClientOwner& owner = fuzz.owner;
  if ((data[0] & 0x80) != 0) {
    client.m_pOwner = nullptr;
  }
  owner.m_nMode = 1 + data[0] % 4;
  owner.m_nResendLimit = data[1] % 5 - 1;
  std::snprintf(owner.m_szPathName, sizeof owner.m_szPathName, "%s", ImagePath().c_str());

  // Each round: one parser chosen by a byte, its header words from the next bytes, the packet
  // the rest of the input as far as the header's length says.
  size_t at = 2;
  while (at + 11 <= size) {
    uint8_t which = data[at];
    wick::PacketHeader h;
    auto word = [&](size_t i) { return static_cast<uint16_t>(data[i] | data[i + 1] << 8); };
    h.wStart = (which & 0x10) != 0 ? word(at + 1) : wick::HEADER_START_MARK;
    h.wEnd = (which & 0x20) != 0 ? word(at + 3) : wick::HEADER_END_MARK;
    h.wCode = word(at + 5);
    h.wArg = (which & 0x40) != 0 ? data[at + 7] % 5 : word(at + 7);
    h.wData1 = word(at + 9);
    const uint8_t* packet = data + at;
    size_t len = size - at;
    switch (which % 12) {
      case 0:
        client.ResReadData(h, packet, len);
        break;
      case 1:
        client.ResWriteData(h, packet, len);
        break;
      case 2:
        client.ResIndexData(h, packet, len);
        break;
      case 3:
        client.ResPauseData(h, packet, len);
        break;
      case 4:
        client.ResInitData(h, packet, len);
        break;
      case 5:
        client.ResRebooting(h, packet, len);
        break;
      case 6:
        client.ResConnection(h, packet, len);
        break;
      case 7:
        client.ResUpgradeB(h, packet, len);
        break;
      case 8:
        client.ResUpgradeF(h, packet, len);
        break;
      case 9:
        client.ResUpgradeF2(h, packet, len);
        break;
      case 10:
        client.ResUpgradeF3(h, packet, len);
        break;
      default:
        client.ReportError(1, h.wArg);
        break;
    }
    at += 11 + data[at + 10] % 64;
  }
  client.CloseFile();
  return 0;
}
