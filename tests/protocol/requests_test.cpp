// The start requests on the wire: the 24-byte announcement, the 1052-byte chunk, their trace
// lines, and what a closed port or an oversize chunk leaves behind.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/engine_fixture.h"

namespace wick::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

using Request = int (CSerialClient1::*)(const uint8_t*, int32_t, int32_t);
using RequestTest = EngineFixture;

constexpr size_t kChunkPacketSize = 1052;

// A chunk packet without its data field: the 24 bytes before it and the 4 after it.
Bytes ChunkFrame(const Bytes& packet) {
  Bytes frame(packet.begin(), packet.begin() + 24);
  frame.insert(frame.end(), packet.end() - 4, packet.end());
  return frame;
}

Bytes ChunkData(const Bytes& packet) {
  return Bytes(packet.begin() + 24, packet.begin() + 1048);
}

Bytes Pattern(size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>(i * 7);
  }
  return out;
}

TEST_F(RequestTest, FirmwareAnnouncementOfOneMebibyte) {
  EXPECT_EQ(client.ReqUpgradeF(nullptr, 1048576, -1), 0);

  EXPECT_THAT(TakeWrites(), ElementsAre(Bytes{0xFD, 0xC9, 0x06, 0x10, 0x01, 0x00, 0x0C, 0x00,
                                              0x00, 0x00, 0x8D, 0xC5, 0xFE, 0xC5, 0x00, 0x00,
                                              0x00, 0x00, 0x10, 0x00, 0x0D, 0xC9, 0x00, 0x00}));
  EXPECT_THAT(traces, ElementsAre(Pair(5,
                                       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1006, 0x1, 0xc = "
                                       "0xc5fe, 0xc90d, 1048576")));
}

TEST_F(RequestTest, AnnouncementOfEachRequestCarriesItsCodeAndTag) {
  struct Case {
    const char* what;
    Request request;
    int32_t count;
    Bytes packet;
    std::string trace;
  };
  const Case cases[] = {
      {"firmware, empty file",
       &CSerialClient1::ReqUpgradeF,
       0,
       {0xFD, 0xC9, 0x06, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1006, 0x1, 0xc = 0xc5fe, 0xc90d, 0"},
      {"boot loader",
       &CSerialClient1::ReqUpgradeB,
       0x01020304,
       {0xFD, 0xC9, 0x04, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeB:-1]: 0xc9fd, 0xc58d, 0x1004, 0x1, 0xc = 0xc5fe, 0xc90d, 16909060"},
      {"module",
       &CSerialClient1::ReqUpgradeM,
       300000,
       {0xFD, 0xC9, 0x40, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0xE0, 0x93, 0x04, 0x00, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1040, 0x1, 0xc = 0xc5fe, 0xc90d, 300000"},
      {"channel data, negative count",
       &CSerialClient1::ReqUpgradeC,
       -2,
       {0xFD, 0xC9, 0x42, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5,
        0xFE, 0xC5, 0x00, 0x00, 0xFE, 0xFF, 0xFF, 0xFF, 0x0D, 0xC9, 0x00, 0x00},
       "Send[ReqUpgradeF:-1]: 0xc9fd, 0xc58d, 0x1042, 0x1, 0xc = 0xc5fe, 0xc90d, -2"},
  };
  // Data handed to an announcement is not read.
  const Bytes ignored = Pattern(16);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    traces.clear();
    EXPECT_EQ((client.*c.request)(ignored.data(), c.count, -1), 0);
    EXPECT_THAT(TakeWrites(), ElementsAre(c.packet));
    EXPECT_THAT(traces, ElementsAre(Pair(5, c.trace)));
  }
}

TEST_F(RequestTest, ChunkLayout) {
  Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  Bytes digitsThenJunk = digits;
  digitsThenJunk.resize(40, 0xAA);
  const Bytes full = Pattern(1024);
  struct Case {
    const char* what;
    Request request;
    Bytes data;
    int32_t count;
    int32_t index;
    Bytes frame;  // the packet without its 1024-byte data field
    Bytes expectedData;
    std::string trace;
  };
  const Case cases[] = {
      {"short chunk: only count bytes are taken, the rest of the field is 0",
       &CSerialClient1::ReqUpgradeF,
       digitsThenJunk,
       9,
       5,
       {0xFD, 0xC9, 0x06, 0x10, 0x00, 0x00, 0x10, 0x04, 0x00, 0x00, 0x8D, 0xC5, 0xFE, 0xC5,
        0x05, 0x00, 0x09, 0x00, 0x00, 0x00, 0x26, 0x39, 0xF4, 0xCB, 0x00, 0x00, 0x0D, 0xC9},
       digits,
       "Send[ReqUpgradeF:5]: 0xc9fd, 0xc58d, 0x1006, 0x0, 0x410 = 0xc5fe, 0xc90d, 5, 9, "
       "-873187034"},
      {"count 0: CRC 0 and an all-zero data field",
       &CSerialClient1::ReqUpgradeB,
       digitsThenJunk,
       0,
       0,
       {0xFD, 0xC9, 0x04, 0x10, 0x00, 0x00, 0x10, 0x04, 0x00, 0x00, 0x8D, 0xC5, 0xFE, 0xC5,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0D, 0xC9},
       {},
       "Send[ReqUpgradeB:0]: 0xc9fd, 0xc58d, 0x1004, 0x0, 0x410 = 0xc5fe, 0xc90d, 0, 0, 0"},
      {"index -2 is a chunk, its field 0xFFFE",
       &CSerialClient1::ReqUpgradeM,
       {0x00},
       1,
       -2,
       {0xFD, 0xC9, 0x40, 0x10, 0x00, 0x00, 0x10, 0x04, 0x00, 0x00, 0x8D, 0xC5, 0xFE, 0xC5,
        0xFE, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x8D, 0xEF, 0x02, 0xD2, 0x00, 0x00, 0x0D, 0xC9},
       {0x00},
       "Send[ReqUpgradeF:-2]: 0xc9fd, 0xc58d, 0x1040, 0x0, 0x410 = 0xc5fe, 0xc90d, 65534, 1, "
       "-771559539"},
      {"index 65536 keeps its low 16 bits, 0; a full chunk of 1024 bytes",
       &CSerialClient1::ReqUpgradeC,
       full,
       1024,
       65536,
       {0xFD, 0xC9, 0x42, 0x10, 0x00, 0x00, 0x10, 0x04, 0x00, 0x00, 0x8D, 0xC5, 0xFE, 0xC5,
        0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x67, 0x9E, 0xD2, 0x28, 0x00, 0x00, 0x0D, 0xC9},
       full,
       "Send[ReqUpgradeF:65536]: 0xc9fd, 0xc58d, 0x1042, 0x0, 0x410 = 0xc5fe, 0xc90d, 0, 1024, "
       "684891751"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    traces.clear();
    EXPECT_EQ((client.*c.request)(c.data.data(), c.count, c.index), 0);
    std::vector<Bytes> writes = TakeWrites();
    ASSERT_EQ(writes.size(), 1u);
    ASSERT_EQ(writes[0].size(), kChunkPacketSize);
    EXPECT_EQ(ChunkFrame(writes[0]), c.frame);
    Bytes field = c.expectedData;
    field.resize(1024, 0x00);
    EXPECT_EQ(ChunkData(writes[0]), field);
    EXPECT_THAT(traces, ElementsAre(Pair(5, c.trace)));
  }
}

TEST_F(RequestTest, ClosedPortWritesNothingAndTracesOnlyThePortLine) {
  ASSERT_EQ(client.ClosePort(), 1);
  const Bytes data = Pattern(10);
  const Request requests[] = {&CSerialClient1::ReqUpgradeF, &CSerialClient1::ReqUpgradeB,
                              &CSerialClient1::ReqUpgradeM, &CSerialClient1::ReqUpgradeC};
  for (Request request : requests) {
    for (int32_t index : {-1, 0}) {
      SCOPED_TRACE(index);
      traces.clear();
      EXPECT_EQ((client.*request)(data.data(), 10, index), -1);
      EXPECT_THAT(TakeWrites(), IsEmpty());
      EXPECT_THAT(traces, ElementsAre(Pair(0, "Port not open.")));
    }
  }
}

TEST_F(RequestTest, ChunkWithoutRoomOrDataIsRefused) {
  const Bytes data = Pattern(1100);
  struct Case {
    const uint8_t* data;
    int32_t count;
    std::string trace;
  };
  const Case cases[] = {
      {data.data(), 1025, "Send[ReqUpgradeF:3]: chunk of 1025 bytes refused, at most 1024"},
      {data.data(), -1, "Send[ReqUpgradeF:3]: chunk of -1 bytes refused, at most 1024"},
      {nullptr, 8, "Send[ReqUpgradeF:3]: chunk of 8 bytes refused, no data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    traces.clear();
    EXPECT_EQ(client.ReqUpgradeF(c.data, c.count, 3), -1);
    EXPECT_THAT(TakeWrites(), IsEmpty());
    EXPECT_THAT(traces, ElementsAre(Pair(1, c.trace)));
  }
}

}  // namespace
}  // namespace wick::test
