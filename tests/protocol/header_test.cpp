#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/debug_capture.h"
#include "tests/support/engine_fixture.h"

namespace wick {
namespace {

using test::Bytes;
using ::testing::ElementsAre;
using ::testing::Pair;

TEST(Header, MakeHeaderSerialisesEveryWordLowByteFirst) {
  PacketHeader h;
  CSerialClient1::MakeHeader(0x1006, 1, 12, h);
  uint8_t wire[12];
  SerializeHeader(h, wire);
  EXPECT_EQ(Bytes(wire, wire + 12),
            (Bytes{0xFD, 0xC9, 0x06, 0x10, 0x01, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x8D, 0xC5}));
}

class HeaderSend : public test::EngineFixture {};

TEST_F(HeaderSend, RepliesAndCommandsGoOutWholeWithTheirTraceLines) {
  EXPECT_EQ(client.SendReply(5, "UPGRADE", 0x1004, 0, 0, 0), 0);
  EXPECT_EQ(client.SendReply(5, "CRC", 0x1023, 0, 0xCBF4, 0x3926), 0);
  EXPECT_EQ(client.SendCommand(5, "ReqRebooting", 0x1002, 0, 0, 0), 0);
  EXPECT_EQ(client.SendCommand(5, "ReqRebooting", 0x1002, 0, 0, 0xABCD), 0);
  EXPECT_THAT(TakeWrites(),
              ElementsAre(Bytes{0xFD, 0xC9, 0x04, 0x10, 0, 0, 0, 0, 0, 0, 0x8D, 0xC5},
                          Bytes{0xFD, 0xC9, 0x23, 0x10, 0, 0, 0xF4, 0xCB, 0x26, 0x39, 0x8D, 0xC5},
                          Bytes{0xFD, 0xC9, 0x02, 0x10, 0, 0, 0, 0, 0, 0, 0x8D, 0xC5, 0, 0},
                          Bytes{0xFD, 0xC9, 0x02, 0x10, 0, 0, 0, 0, 0, 0, 0x8D, 0xC5, 0xCD, 0xAB}));
  EXPECT_THAT(
      traces,
      ElementsAre(Pair(5, "ex_Send[UPGRADE]: 0xc9fd, 0xc58d, 0x1004, 0x0, 0x0 = 0x0"),
                  Pair(5, "ex_Send[CRC]: 0xc9fd, 0xc58d, 0x1023, 0x0, 0xcbf4 = 0x3926"),
                  Pair(5, "Send[ReqRebooting]: 0xc9fd, 0xc58d, 0x1002, 0x0, 0x0 = 0x0"),
                  Pair(5, "Send[ReqRebooting]: 0xc9fd, 0xc58d, 0x1002, 0x0, 0x0 = 0xabcd")));
  EXPECT_EQ(clock.Pauses(), (std::vector<uint32_t>{10, 10, 10, 10}));
}

TEST_F(HeaderSend, OnAClosedPortNothingGoesOutAndNoLineIsComposed) {
  client.ClosePort();
  EXPECT_EQ(client.SendReply(5, "UPGRADE", 0x1004, 0, 0, 0), -1);
  EXPECT_EQ(client.SendCommand(5, "ReqRebooting", 0x1002, 0, 0, 0), -1);
  EXPECT_TRUE(TakeWrites().empty());
  EXPECT_THAT(traces, ElementsAre(Pair(0, "Port not open."), Pair(0, "Port not open.")));
}

class Recognize : public test::EngineFixture {
 protected:
  int Run(const Bytes& held, PacketHeader& h) {
    std::memset(client.m_RecvBuf, 0, sizeof client.m_RecvBuf);
    std::copy(held.begin(), held.end(), client.m_RecvBuf);
    client.m_nRecvLen = static_cast<int32_t>(held.size());
    state = 7;
    return client.RecognizeHeader(state, h);
  }
  int32_t state = 0;
};

TEST_F(Recognize, DecodesTheBoxsHeaderWordsHighByteFirst) {
  const struct {
    const char* what;
    Bytes held;
    uint16_t code, arg, data1, data2;
  } cases[] = {
      {"resend request",
       {0xFD, 0x00, 0x10, 0x21, 0x00, 0xC0, 0, 0, 0, 0, 0xC5, 0x8D},
       0x1021,
       0x00C0,
       0,
       0},
      {"byte 1 is not examined",
       {0xFD, 0x5A, 0x10, 0x21, 0x00, 0xC0, 0, 0, 0, 0, 0xC5, 0x8D},
       0x1021,
       0x00C0,
       0,
       0},
      {"the PC's byte order is another code",
       {0xFD, 0xC9, 0x21, 0x10, 0, 0, 0x12, 0x34, 0x56, 0x78, 0xC5, 0x8D},
       0x2110,
       0,
       0x1234,
       0x5678},
  };
  for (const auto& c : cases) {
    PacketHeader h;
    EXPECT_EQ(Run(c.held, h), 1) << c.what;
    EXPECT_EQ(h.wCode, c.code) << c.what;
    EXPECT_EQ(h.wArg, c.arg) << c.what;
    EXPECT_EQ(h.wData1, c.data1) << c.what;
    EXPECT_EQ(h.wData2, c.data2) << c.what;
    EXPECT_EQ(h.wStart, 0) << c.what;
    EXPECT_EQ(h.wEnd, 0) << c.what;
    EXPECT_EQ(state, 0) << c.what;
    EXPECT_EQ(client.m_nRecvLen, 0) << c.what;
  }
}

TEST_F(Recognize, AWrongEndMarkLeavesEverythingAsItWas) {
  test::DebugCapture debug;
  const Bytes bad = {0xFD, 0x00, 0x10, 0x01, 0, 0, 0, 0, 0, 0, 0x8D, 0xC5};
  PacketHeader h;
  EXPECT_EQ(Run(bad, h), 1);
  EXPECT_EQ(h.wCode, 0);
  EXPECT_EQ(state, 7);
  EXPECT_EQ(client.m_nRecvLen, 12);
  EXPECT_EQ(Bytes(client.m_RecvBuf, client.m_RecvBuf + 12), bad);
  EXPECT_EQ(debug.Text(), "< N_BYTE_HEADER_SIZE\n");
}

TEST_F(Recognize, ElevenBytesWaitAndTwoHeadersAreClearedTogether) {
  PacketHeader h;
  Bytes header = BoxHeader(0x1001);
  EXPECT_EQ(Run(Bytes(header.begin(), header.end() - 1), h), 0);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(client.m_nRecvLen, 11);

  Bytes two = header;
  Bytes second = BoxHeader(0x1011);
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_EQ(Run(two, h), 1);
  EXPECT_EQ(h.wCode, 0x1001);
  EXPECT_EQ(client.m_nRecvLen, 0);
  EXPECT_EQ(client.m_RecvBuf[12], 0) << "the second header is cleared with the first";
}

}  // namespace
}  // namespace wick
