#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/debug_capture.h"
#include "tests/support/engine_fixture.h"
#include "util/crc32.h"

namespace wick {
namespace {

using test::Bytes;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr uint32_t kBlock = 8192;

// Deterministic, never-blank bytes.
Bytes Pattern(size_t n, uint8_t seed) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
    if (b == 0xFF) {
      b = 0x7F;
    }
  }
  return out;
}

uint32_t Crc(const Bytes& b, size_t from = 0, size_t n = SIZE_MAX) {
  n = std::min(n, b.size() - from);
  return Crc32(b.data() + from, static_cast<uint32_t>(n));
}

// A head-and-trailer image: 64-byte head, payload, CRC-32 of head and payload, low byte first.
Bytes TavImage(const Bytes& payload) {
  Bytes file = Pattern(64, 99);
  file.insert(file.end(), payload.begin(), payload.end());
  uint32_t crc = Crc(file);
  for (int i = 0; i < 4; ++i) {
    file.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  }
  return file;
}

// The block header the PC sends: code 0x1020, CRC high half then low half, each low byte first.
Bytes BlockHeader(uint32_t crc) {
  return {0xFD,
          0xC9,
          0x20,
          0x10,
          0x00,
          0x00,
          static_cast<uint8_t>(crc >> 16),
          static_cast<uint8_t>(crc >> 24),
          static_cast<uint8_t>(crc),
          static_cast<uint8_t>(crc >> 8),
          0x8D,
          0xC5};
}
const Bytes kBlankHeader = {0xFD, 0xC9, 0x20, 0x10, 0x01, 0x00, 0, 0, 0, 0, 0x8D, 0xC5};

class Transfer : public test::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    client.m_bUpgrade = 1;
  }
  // The data block that one block step wrote: header, then 8 pieces joined.
  struct Sent {
    Bytes header;
    Bytes data;
  };
  std::vector<Sent> Blocks() {
    std::vector<Sent> out;
    for (const auto& w : TakeWrites()) {
      if (w.size() == 12) {
        out.push_back({w, {}});
      } else if (!out.empty()) {
        out.back().data.insert(out.back().data.end(), w.begin(), w.end());
      }
    }
    return out;
  }
  std::string Traces(int level) {
    std::string all;
    for (const auto& [l, t] : traces) {
      if (l == level) {
        all += t + "\n";
      }
    }
    return all;
  }
};

TEST_F(Transfer, OneBlockIsItsHeaderThenEightPacedPieces) {
  ChooseImage("data.tvu", Pattern(kBlock, 1));
  ASSERT_EQ(Receive(BoxHeader(0x1043)), 0);
  std::vector<std::string> expected = {"write 12", "sleep 10", "sleep 20", "write 1024",
                                       "sleep 10"};
  for (int i = 1; i < 8; ++i) {
    for (const char* e : {"sleep 140", "write 1024", "sleep 10"}) {
      expected.push_back(e);
    }
  }
  EXPECT_EQ(log.Events(), expected);
  EXPECT_EQ(clock.TotalMs(), 1090u);
  EXPECT_EQ(client.m_nOffset, static_cast<int32_t>(kBlock));
}

TEST_F(Transfer, ABlankBlockIsItsHeaderAlone) {
  ChooseImage("data.tvu", Bytes(kBlock, 0xFF));
  ASSERT_EQ(Receive(BoxHeader(0x1043)), 0);
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"write 12", "sleep 10"}));
  EXPECT_THAT(TakeWrites(), ElementsAre(kBlankHeader));
  EXPECT_EQ(client.m_nOffset, static_cast<int32_t>(kBlock)) << "the offset moves on all the same";
  ASSERT_EQ(owner.events.size(), 2u);
  EXPECT_EQ(owner.events[1].kind, EngineEvent::kBlankSkipped);
}

TEST_F(Transfer, EachStartCodePreparesItsImage) {
  const Bytes payload = Pattern(2 * kBlock, 2);
  const Bytes tav = TavImage(payload);  // S = 64 + 2 blocks + 4
  Bytes preparedTav = payload;
  preparedTav.insert(preparedTav.end(), 68, 0xFF);

  Bytes firmwarePayload = Pattern(0x1A0000, 3);
  const Bytes firmware = TavImage(firmwarePayload);
  Bytes preparedFirmware = firmwarePayload;
  preparedFirmware.insert(preparedFirmware.end(), 68, 0xFF);

  const Bytes module = Pattern(0x40000 + 100, 4);
  const Bytes channel = Pattern(10000, 5);
  Bytes channelSecond(channel.begin() + kBlock, channel.end());
  channelSecond.resize(kBlock, 0x00);  // 1,808 file bytes, then 6,384 zeros

  const struct {
    uint16_t code;
    const Bytes& file;
    int32_t firstOffset;
    Bytes firstBlock;
    uint32_t imageCrc;
  } cases[] = {
      // File bytes 64 to 8255; the CRC covers the S prepared bytes, the 68 of 0xFF included.
      {0x1005, tav, 0, Bytes(tav.begin() + 64, tav.begin() + 64 + kBlock), Crc(preparedTav)},
      // The prepared image from 0x20000: the file's bytes from 0x20000 + 64.
      {0x1007, firmware, 0x20000,
       Bytes(firmware.begin() + 0x20000 + 64, firmware.begin() + 0x20000 + 64 + kBlock),
       Crc(preparedFirmware, 0x20000, 0x180000)},
      // The whole file from offset 0, head included; no trailer is tested.
      {0x1041, module, 0, Bytes(module.begin(), module.begin() + kBlock), Crc(module, 0, 0x40000)},
      {0x1043, channel, 0, Bytes(channel.begin(), channel.begin() + kBlock), Crc(channel)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    ChooseImage("image", c.file);
    owner.events.clear();
    ASSERT_EQ(Receive(BoxHeader(c.code)), 0);
    auto blocks = Blocks();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].header, BlockHeader(Crc(c.firstBlock)));
    EXPECT_EQ(blocks[0].data, c.firstBlock);
    EXPECT_EQ(client.m_dwImageCrc, c.imageCrc);
    EXPECT_EQ(client.m_nOffset, c.firstOffset + static_cast<int32_t>(kBlock));
    ASSERT_FALSE(owner.events.empty());
    EXPECT_EQ(owner.events[0].kind, EngineEvent::kTransferStarted);
  }
  // The channel image's second block: its last file bytes, then zeros.
  ChooseImage("image", channel);
  Receive(BoxHeader(0x1043));
  Blocks();
  Receive(BoxHeader(0x1021));
  auto second = Blocks();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].data, channelSecond);
}

TEST_F(Transfer, AResendSendsTheLastBlockAgainAndTheOffsetEndsWhereItWas) {
  const Bytes image = Pattern(3 * kBlock, 6);
  ChooseImage("c.tvu", image);
  Receive(BoxHeader(0x1043));
  Receive(BoxHeader(0x1021));
  Blocks();
  int32_t before = client.m_nOffset;
  Receive(BoxHeader(0x1021, 0x00C0));
  auto again = Blocks();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].data, Bytes(image.begin() + kBlock, image.begin() + 2 * kBlock));
  EXPECT_EQ(again[0].header, BlockHeader(Crc(image, kBlock, kBlock)));
  EXPECT_EQ(client.m_nOffset, before);
}

TEST_F(Transfer, TheBlockLabelKeepsLeadingZeros) {
  // Find a block whose CRC starts with a zero hex digit.
  Bytes block = Pattern(kBlock, 7);
  for (uint32_t i = 0; Crc(block) >> 28 != 0; ++i) {
    block[0] = static_cast<uint8_t>(i);
    block[1] = static_cast<uint8_t>(i >> 8);
  }
  ChooseImage("c.tvu", block);
  Receive(BoxHeader(0x1043));
  char label[32];
  std::snprintf(label, sizeof label, "ex_Send[crc=%08x]", Crc(block));
  EXPECT_THAT(Traces(5), HasSubstr(label));
  EXPECT_EQ(std::string(label).substr(12, 1), "0");
}

// --- What the engine refuses: no block of such a transfer goes to the box ----------------------

TEST_F(Transfer, ImagesThatCannotBeVouchedForSendNothing) {
  Bytes badTrailer = TavImage(Pattern(kBlock, 8));
  badTrailer.back() ^= 0x01;
  Bytes badFirmware = TavImage(Pattern(0x1A0000, 8));
  badFirmware[100] ^= 0x01;
  const struct {
    const char* what;
    uint16_t code;
    Bytes file;
    const char* reason;
  } cases[] = {
      {"stored CRC mismatch", 0x1005, badTrailer, "image CRC mismatch: stored 0x"},
      {"stored CRC mismatch (firmware)", 0x1007, badFirmware, "image CRC mismatch"},
      {"shorter than head and trailer", 0x1005, Pattern(67, 9), "needs at least 68"},
      {"shorter than the firmware region", 0x1007, TavImage(Pattern(0x1A0000 - 69, 10)),
       "needs at least 1703936"},
      {"shorter than the module region", 0x1041, Pattern(0x3FFFF, 11), "needs at least 262144"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ChooseImage("image", c.file);
    traces.clear();
    owner.events.clear();
    EXPECT_EQ(Receive(BoxHeader(c.code)), 0);
    EXPECT_EQ(Receive(BoxHeader(0x1021)), 0);
    EXPECT_EQ(Receive(BoxHeader(0x1021, 0x00C0)), 0);
    EXPECT_THAT(TakeWrites(), IsEmpty());
    EXPECT_THAT(Traces(1), HasSubstr(c.reason));
    ASSERT_FALSE(owner.events.empty());
    EXPECT_EQ(owner.events[0].kind, EngineEvent::kTransferRefused);
    EXPECT_THAT(owner.events[0].reason, HasSubstr(c.reason));
    // No final CRC either: it would vouch for an image the box never got. The run ends.
    EXPECT_EQ(Receive(BoxHeader(0x1023)), 0);
    EXPECT_THAT(TakeWrites(), IsEmpty());
    EXPECT_EQ(client.m_bUpgrade, 0);
    client.m_bUpgrade = 1;
  }
}

TEST_F(Transfer, AFileThatChangedSinceItWasChosenIsRefused) {
  for (int delta : {-1, +1}) {
    SCOPED_TRACE(delta);
    Bytes file = Pattern(2 * kBlock, 12);
    ChooseImage("c.tvu", file);
    file.resize(file.size() + delta, 0x33);
    dir.Write("c.tvu", file);  // rewritten after the operator chose it
    traces.clear();
    EXPECT_EQ(Receive(BoxHeader(0x1043)), 0);
    EXPECT_THAT(TakeWrites(), IsEmpty());
    EXPECT_THAT(Traces(1), HasSubstr("changed since it was chosen"));
  }
}

TEST_F(Transfer, AMissingFileSendsNothingAndFails) {
  ChooseImage("gone.tav", TavImage(Pattern(kBlock, 13)));
  std::remove(owner.m_szPathName);
  EXPECT_EQ(Receive(BoxHeader(0x1005)), -1);
  EXPECT_THAT(TakeWrites(), IsEmpty());
  EXPECT_THAT(Traces(1), HasSubstr("No such file or directory"));
  EXPECT_EQ(client.m_pFile, nullptr);
}

TEST_F(Transfer, TheImageIsFoundByItsFullPathNotTheCurrentFolder) {
  ChooseImage("only-in-its-folder.tvu", Pattern(kBlock, 14));
  ASSERT_NE(std::string(owner.m_szPathName).find('/'), std::string::npos);
  EXPECT_EQ(Receive(BoxHeader(0x1043)), 0);
  EXPECT_EQ(Blocks().size(), 1u);
}

TEST_F(Transfer, RequestsOutsideTheImageSendNoBlockAndReadNothingOutside) {
  // Two blocks: a third request is past the end; a resend with the start code finds no block
  // before the first, and the first goes instead.
  const Bytes image = Pattern(2 * kBlock, 15);
  ChooseImage("c.tvu", image);
  Receive(BoxHeader(0x1043, 0x00C0));
  auto first = Blocks();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].data, Bytes(image.begin(), image.begin() + kBlock));
  Receive(BoxHeader(0x1021));
  EXPECT_EQ(Blocks().size(), 1u);
  traces.clear();
  Receive(BoxHeader(0x1021));
  EXPECT_THAT(TakeWrites(), IsEmpty());
  EXPECT_THAT(Traces(1), HasSubstr("past the end of the image (16384 bytes)"));
  EXPECT_EQ(client.m_nOffset, static_cast<int32_t>(2 * kBlock));

  // An empty raw image has no block at all.
  ChooseImage("empty.tvu", {});
  Receive(BoxHeader(0x1043));
  EXPECT_THAT(TakeWrites(), IsEmpty());
}

TEST_F(Transfer, TheLastPartialBlockOfAHeadAndTrailerImageIsBlank) {
  // S = 64 + 8192 + 4: the prepared image is one block and 68 bytes of 0xFF; the second block is
  // those 68 bytes filled out with 0xFF, so it goes as a blank block, not as bytes from outside.
  const Bytes tav = TavImage(Pattern(kBlock, 16));
  ChooseImage("f.tav", tav);
  Receive(BoxHeader(0x1005));
  Blocks();
  Receive(BoxHeader(0x1021));
  EXPECT_THAT(TakeWrites(), ElementsAre(kBlankHeader));
}

}  // namespace
}  // namespace wick
