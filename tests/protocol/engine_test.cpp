#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/engine_fixture.h"

namespace wick {
namespace {

using test::Bytes;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

const Bytes kUpgradeReply = {0xFD, 0xC9, 0x04, 0x10, 0, 0, 0, 0, 0, 0, 0x8D, 0xC5};
const Bytes kQuery = test::EngineFixture::BoxHeader(0x1001);
const Bytes kQueryFirst10(kQuery.begin(), kQuery.begin() + 10);

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

class Engine : public test::EngineFixture {
 protected:
  void SetUp() override {
    EngineFixture::SetUp();
    client.m_bUpgrade = 1;
  }
};

TEST_F(Engine, IgnoresEverythingWhileNoRunIsActive) {
  client.m_bUpgrade = 0;
  EXPECT_EQ(Receive(BoxHeader(0x1001)), 0);
  EXPECT_EQ(client.m_nRecvLen, 0);
  EXPECT_EQ(client.m_nHeaderState, 0);
  EXPECT_TRUE(TakeWrites().empty());
}

TEST_F(Engine, AssemblesTheHeaderAcrossNoiseAndChunks) {
  const struct {
    const char* what;
    std::vector<Bytes> chunks;
    std::vector<int> results;
    size_t replies;
    int32_t heldAfter;
    int32_t stateAfter;
  } cases[] = {
      {"one header", {BoxHeader(0x1001)}, {0}, 1, 0, 0},
      {"three noise bytes first", {Cat({{0x01, 0x02, 0x03}, BoxHeader(0x1001)})}, {0}, 1, 0, 0},
      {"no sync byte at all",
       {{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C}},
       {0},
       0,
       0,
       0},
      // The only 0xFD at index 5: ten bytes from it stay, and the next chunk completes them.
      {"a header split over two chunks",
       {Cat({{0x01, 0x02, 0x03, 0x04, 0x05}, kQueryFirst10}), {0xC5, 0x8D}},
       {0, 0},
       1,
       0,
       0},
      {"two headers in one chunk: the first is answered",
       {Cat({BoxHeader(0x1001), BoxHeader(0x1001)})},
       {0},
       1,
       0,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    client.m_nRecvLen = 0;
    client.m_nHeaderState = 0;
    std::vector<int> results;
    for (const auto& chunk : c.chunks) {
      results.push_back(Receive(chunk));
    }
    EXPECT_EQ(results, c.results);
    auto writes = TakeWrites();
    EXPECT_EQ(writes.size(), c.replies);
    for (const auto& w : writes) {
      EXPECT_EQ(w, kUpgradeReply);
    }
    EXPECT_EQ(client.m_nRecvLen, c.heldAfter);
    EXPECT_EQ(client.m_nHeaderState, c.stateAfter);
  }
}

TEST_F(Engine, APartialHeaderIsKeptInThePartialState) {
  Bytes chunk = Cat({{0x01, 0x02, 0x03, 0x04, 0x05}, kQueryFirst10});
  EXPECT_EQ(Receive(chunk), 0);
  EXPECT_EQ(client.m_nRecvLen, 10);
  EXPECT_EQ(client.m_nHeaderState, 1);
  EXPECT_EQ(client.m_RecvBuf[0], 0xFD);
  EXPECT_EQ(client.m_RecvBuf[10], 0) << "the dropped bytes' room is cleared";
}

TEST_F(Engine, AnswersTheSizeQueryWithTheRecordedSize) {
  owner.m_nFileSize = 0x12345678;
  EXPECT_EQ(Receive(BoxHeader(0x1011, 0x55, 0x66, 0x77)), 0);
  EXPECT_THAT(TakeWrites(),
              ElementsAre(Bytes{0xFD, 0xC9, 0x06, 0x10, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x8D, 0xC5}));
  EXPECT_THAT(traces,
              ElementsAre(Pair(5,
                               "ex_Send[B_UPGRADE_START]: 0xc9fd, 0xc58d, 0x1006, 0x0, 0x5678 "
                               "= 0x1234")));
}

TEST_F(Engine, TheFinalCrcEndsTheRun) {
  client.m_dwImageCrc = 0xA1B2C3D4;
  client.m_nOffset = 5 * 8192;
  EXPECT_EQ(Receive(BoxHeader(0x1023)), 0);
  EXPECT_THAT(TakeWrites(),
              ElementsAre(Bytes{0xFD, 0xC9, 0x23, 0x10, 0, 0, 0xB2, 0xA1, 0xD4, 0xC3, 0x8D, 0xC5}));
  EXPECT_EQ(client.m_nOffset, 0) << "the progress bar returns to 0";
  EXPECT_EQ(client.m_bUpgrade, 0);
  ASSERT_EQ(owner.events.size(), 1u);
  EXPECT_EQ(owner.events[0].kind, EngineEvent::kUpgradeDone);
  // Later bytes are ignored until the next run starts.
  EXPECT_EQ(Receive(BoxHeader(0x1001)), 0);
  EXPECT_TRUE(TakeWrites().empty());
}

TEST_F(Engine, AnUnknownCodeIsAPacketCodeError) {
  EXPECT_EQ(Receive(BoxHeader(0x2110, 0x3, 0x4)), -1);
  EXPECT_THAT(traces,
              ElementsAre(Pair(1, "Recv: 0x0, 0x0, 0x2110, 0x3, 0x4 - packet code error!")));
  EXPECT_EQ(client.m_nErrCount, 1);
  EXPECT_EQ(client.m_nRecvLen, 0);
  EXPECT_TRUE(TakeWrites().empty());
}

TEST_F(Engine, ABadHeaderCostsItselfAndTenChunksThenTheTwelfthIsAnswered) {
  Bytes bad = BoxHeader(0x1001);
  bad[10] = 0x8D;
  bad[11] = 0xC5;
  EXPECT_EQ(Receive(bad), -1);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(Receive(BoxHeader(0x1001)), -1) << i;
  }
  EXPECT_EQ(client.m_nErrCount, 0) << "the eleventh error cleared the count";
  EXPECT_EQ(client.m_nRecvLen, 0) << "and the buffer";
  EXPECT_TRUE(TakeWrites().empty());
  EXPECT_EQ(Receive(BoxHeader(0x1001)), 0);
  EXPECT_THAT(TakeWrites(), ElementsAre(kUpgradeReply));
}

TEST_F(Engine, ChunksPiledBehindABadHeaderNeverOverrunTheAssemblyBuffer) {
  Bytes bad = BoxHeader(0x1001);
  bad[11] = 0x00;
  Receive(bad);
  Bytes junk(4096, 0x11);
  for (int i = 0; i < 9; ++i) {
    Receive(junk);  // packet code errors 2 to 10: the pile grows to 36,876 bytes
  }
  EXPECT_EQ(client.m_nRecvLen, 12 + 9 * 4096);
  // This chunk does not fit behind the pile: the pile goes, the chunk is taken in and answered.
  Bytes last = Cat({BoxHeader(0x1001), Bytes(4096 - 12, 0x22)});
  traces.clear();
  EXPECT_EQ(Receive(last), 0);
  EXPECT_THAT(TakeWrites(), ElementsAre(kUpgradeReply));
  ASSERT_FALSE(traces.empty());
  EXPECT_THAT(traces[0], Pair(1, "Recv: assembly buffer full - 36876 held bytes dropped!"));
}

}  // namespace
}  // namespace wick
