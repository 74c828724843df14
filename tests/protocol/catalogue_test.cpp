// The further requests, the reply parsers, the box's error texts and the chunk flow.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/engine_fixture.h"

namespace wick::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::Pair;

using Trace = std::pair<int, std::string>;
using Parser = int (CSerialClient1::*)(const PacketHeader&, const uint8_t*, size_t);
using CatalogueTest = EngineFixture;

PacketHeader Header(uint16_t code, uint16_t arg, uint16_t data1 = 0,
                    uint16_t start = HEADER_START_MARK, uint16_t end = HEADER_END_MARK) {
  PacketHeader h;
  h.wStart = start;
  h.wCode = code;
  h.wArg = arg;
  h.wData1 = data1;
  h.wEnd = end;
  return h;
}

Bytes Pattern(size_t n, size_t from = 0) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<uint8_t>((from + i) * 7);
  }
  return out;
}

// --- Requests
// -------------------------------------------------------------------------------------

TEST_F(CatalogueTest, CommandsAreAHeaderAndAZeroTail) {
  struct Case {
    void (CSerialClient1::*request)();
    Bytes packet;
    std::string trace;
  };
  const Case cases[] = {
      {&CSerialClient1::ReqRebooting,
       {0xFD, 0xC9, 0x02, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       "Send[ReqRebooting]: 0xc9fd, 0xc58d, 0x1002, 0x0, 0x0 = 0x0"},
      {&CSerialClient1::ReqPauseData,
       {0xFD, 0xC9, 0x14, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       "Send[ReqPauseData]: 0xc9fd, 0xc58d, 0x1014, 0x0, 0x0 = 0x0"},
      {&CSerialClient1::ReqInitData,
       {0xFD, 0xC9, 0x16, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00},
       "Send[ReqInitData]: 0xc9fd, 0xc58d, 0x1016, 0x0, 0x0 = 0x0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trace);
    traces.clear();
    (client.*c.request)();
    EXPECT_THAT(TakeWrites(), ElementsAre(c.packet));
    EXPECT_THAT(traces, ElementsAre(Pair(5, c.trace)));
  }
}

TEST_F(CatalogueTest, ReadAndWriteDataUseTheStartRequestPackets) {
  const Bytes digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

  EXPECT_EQ(client.ReqReadData(nullptr, 4096, -1), 0);
  EXPECT_THAT(TakeWrites(), ElementsAre(Bytes{0xFD, 0xC9, 0x08, 0x10, 0x01, 0x00, 0x0C, 0x00,
                                              0x00, 0x00, 0x8D, 0xC5, 0xFE, 0xC5, 0x00, 0x00,
                                              0x00, 0x10, 0x00, 0x00, 0x0D, 0xC9, 0x00, 0x00}));

  EXPECT_EQ(client.ReqWriteData(digits.data(), 9, 2), 0);
  std::vector<Bytes> writes = TakeWrites();
  ASSERT_EQ(writes.size(), 1u);
  ASSERT_EQ(writes[0].size(), 1052u);
  EXPECT_EQ(Bytes(writes[0].begin(), writes[0].begin() + 33),
            (Bytes{0xFD, 0xC9, 0x10, 0x10, 0x00, 0x00, 0x10, 0x04, 0x00, 0x00, 0x8D,
                   0xC5, 0xFE, 0xC5, 0x02, 0x00, 0x09, 0x00, 0x00, 0x00, 0x26, 0x39,
                   0xF4, 0xCB, '1',  '2',  '3',  '4',  '5',  '6',  '7',  '8',  '9'}));
  EXPECT_EQ(Bytes(writes[0].end() - 4, writes[0].end()), (Bytes{0x00, 0x00, 0x0D, 0xC9}));

  EXPECT_EQ(client.ReqReadData(digits.data(), 1025, 4), -1);
  EXPECT_THAT(TakeWrites(), IsEmpty());

  EXPECT_THAT(
      traces,
      ElementsAre(
          Pair(5, "Send[ReqReadData:-1]: 0xc9fd, 0xc58d, 0x1008, 0x1, 0xc = 0xc5fe, 0xc90d, 4096"),
          Pair(5,
               "Send[ReqWriteData:2]: 0xc9fd, 0xc58d, 0x1010, 0x0, 0x410 = 0xc5fe, 0xc90d, 2, 9, "
               "-873187034"),
          Pair(1, "Send[ReqReadData:4]: chunk of 1025 bytes refused, at most 1024")));
}

TEST_F(CatalogueTest, IndexDataLayout) {
  Bytes ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  Bytes full(1026);
  for (size_t i = 0; i < full.size(); ++i) {
    full[i] = static_cast<uint8_t>(i);
  }
  struct Case {
    const char* what;
    Bytes data;
    int32_t index;
    Bytes frame;  // the 28 bytes before the data field and the 2 after it
    std::string trace;
  };
  const Case cases[] = {
      {"ten bytes, negative index kept whole",
       ten,
       -3,
       {0xFD, 0xC9, 0x12, 0x10, 0x00, 0x00, 0x14, 0x04, 0x00, 0x00, 0x8D, 0xC5, 0xFE, 0xC5, 0x00,
        0x00, 0xFD, 0xFF, 0xFF, 0xFF, 0x0A, 0x00, 0x00, 0x00, 0x7B, 0x57, 0x20, 0x25, 0x0D, 0xC9},
       "Send[ReqIndexData]: 0xc9fd, 0xc58d, 0x1012, 0x0, 0x414 = 0xc5fe, 0xc90d, -3, 10, "
       "622876539"},
      {"all 1026 bytes of room, index above 16 bits",
       full,
       70000,
       {0xFD, 0xC9, 0x12, 0x10, 0x00, 0x00, 0x14, 0x04, 0x00, 0x00, 0x8D, 0xC5, 0xFE, 0xC5, 0x00,
        0x00, 0x70, 0x11, 0x01, 0x00, 0x02, 0x04, 0x00, 0x00, 0xFD, 0x1B, 0x6A, 0x8A, 0x0D, 0xC9},
       "Send[ReqIndexData]: 0xc9fd, 0xc58d, 0x1012, 0x0, 0x414 = 0xc5fe, 0xc90d, 70000, 1026, "
       "-1972757507"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    traces.clear();
    EXPECT_EQ(client.ReqIndexData(c.data.data(), static_cast<int32_t>(c.data.size()), c.index), 0);
    std::vector<Bytes> writes = TakeWrites();
    ASSERT_EQ(writes.size(), 1u);
    const Bytes& p = writes[0];
    ASSERT_EQ(p.size(), 1056u);
    Bytes frame(p.begin(), p.begin() + 28);
    frame.insert(frame.end(), p.end() - 2, p.end());
    EXPECT_EQ(frame, c.frame);
    Bytes field = c.data;
    field.resize(1026, 0x00);
    EXPECT_EQ(Bytes(p.begin() + 28, p.begin() + 1054), field);
    EXPECT_THAT(traces, ElementsAre(Pair(5, c.trace)));
  }
}

TEST_F(CatalogueTest, IndexDataRefusalsSendNothing) {
  const Bytes data = Pattern(1100);
  EXPECT_EQ(client.ReqIndexData(data.data(), 1027, 0), -1);
  EXPECT_EQ(client.ReqIndexData(data.data(), -1, 0), -1);
  EXPECT_EQ(client.ReqIndexData(nullptr, 4, 0), -1);
  ASSERT_EQ(client.ClosePort(), 1);
  EXPECT_EQ(client.ReqIndexData(data.data(), 4, 0), -1);
  EXPECT_THAT(TakeWrites(), IsEmpty());
  EXPECT_THAT(traces,
              ElementsAre(Pair(1,
                               "Send[ReqIndexData]: index 0 of 1027 bytes refused, "
                               "at most 1026"),
                          Pair(1,
                               "Send[ReqIndexData]: index 0 of -1 bytes refused, "
                               "at most 1026"),
                          Pair(1, "Send[ReqIndexData]: index 0 of 4 bytes refused, no data"),
                          Pair(0, "Port not open.")));
}

// --- Reply parsers
// --------------------------------------------------------------------------------

TEST_F(CatalogueTest, PlainParsersOnlyTraceTheirHeader) {
  const std::pair<Parser, std::string> cases[] = {
      {&CSerialClient1::ResReadData, "ResReadData"},
      {&CSerialClient1::ResWriteData, "ResWriteData"},
      {&CSerialClient1::ResIndexData, "ResIndexData"},
      {&CSerialClient1::ResPauseData, "ResPauseData"},
      {&CSerialClient1::ResInitData, "ResInitData"},
  };
  // Marks that the checking parsers would refuse, and an error code in wArg.
  const PacketHeader h = Header(0x1009, 0x121, 5, 0x0000, 0x8DC5);
  for (const auto& [parse, name] : cases) {
    SCOPED_TRACE(name);
    traces.clear();
    EXPECT_EQ((client.*parse)(h, nullptr, 0), 0);
    EXPECT_THAT(traces,
                ElementsAre(Pair(4, "Recv[" + name + "-Header]: 0x0, 0x8dc5, 0x1009, 0x121, 0x5")));
  }
  EXPECT_THAT(TakeWrites(), IsEmpty());
}

TEST_F(CatalogueTest, WrongMarksAreRefusedBeforeAnythingElse) {
  ChooseImage("fw.tav", Pattern(100));
  owner.m_nMode = kModeFirmware;
  client.m_bReplyOk = 1;
  const std::pair<Parser, std::string> parsers[] = {
      {&CSerialClient1::ResRebooting, "ResRebooting"},
      {&CSerialClient1::ResConnection, "ResConnection"},
      {&CSerialClient1::ResUpgradeB, "ResUpgradeB"},
      {&CSerialClient1::ResUpgradeF, "ResUpgradeF"},
      {&CSerialClient1::ResUpgradeF2, "ResUpgradeF"},
      {&CSerialClient1::ResUpgradeF3, "ResUpgradeF"},
  };
  // The PC's marks in the box's byte order, and a missing start mark. wArg 1 makes every one of
  // these parsers return 0 or send a chunk when the marks are right.
  const PacketHeader bad[] = {Header(0x1003, 1, 0, 0xFDC9, 0x8DC5),
                              Header(0x1003, 1, 0, 0x0000, HEADER_END_MARK)};
  for (const auto& [parse, name] : parsers) {
    for (const PacketHeader& h : bad) {
      SCOPED_TRACE(name);
      traces.clear();
      EXPECT_EQ((client.*parse)(h, nullptr, 0), -1);
      char header[120];
      std::snprintf(header, sizeof header, "Recv[%s-Header]: 0x%x, 0x%x, 0x1003, 0x1, 0x0",
                    name.c_str(), h.wStart, h.wEnd);
      EXPECT_THAT(traces,
                  ElementsAre(Pair(4, header), Pair(1, "Recv[" + name + "-Header]: error")));
      EXPECT_EQ(client.m_pFile, nullptr);
    }
  }
  EXPECT_THAT(TakeWrites(), IsEmpty());
}

TEST_F(CatalogueTest, RebootingReplyResult) {
  struct Case {
    uint16_t arg;
    int replyOk;
    int result;
  };
  const Case cases[] = {{5, 0, 0}, {5, 1, 0}, {0, 1, 0}, {0, 0, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "arg " << c.arg << ", link " << c.replyOk);
    traces.clear();
    client.m_bReplyOk = c.replyOk;
    EXPECT_EQ(client.ResRebooting(Header(0x1003, c.arg), nullptr, 0), c.result);
    EXPECT_EQ(traces.size(), 1u);
  }
}

// The 12 header bytes of a connection reply (the parser reads only what follows them), then the
// body.
Bytes ConnectionPacket(uint16_t start, const std::string& a, const std::string& b,
                       const std::string& c, uint16_t end) {
  Bytes p(12, 0xEE);
  p.push_back(static_cast<uint8_t>(start));
  p.push_back(static_cast<uint8_t>(start >> 8));
  for (const std::string* text : {&a, &b, &c}) {
    Bytes field(16, 0x00);
    std::copy(text->begin(), text->end(), field.begin());
    p.insert(p.end(), field.begin(), field.end());
  }
  p.push_back(static_cast<uint8_t>(end));
  p.push_back(static_cast<uint8_t>(end >> 8));
  return p;
}

TEST_F(CatalogueTest, ConnectionReplyBody) {
  // The third text fills its 16 bytes: no NUL before the end mark.
  const Bytes good =
      ConnectionPacket(BODY_START_MARK, "STB-7100", "2.4.1", "ABCDEFGHIJKLMNOP", BODY_END_MARK);
  ASSERT_EQ(good.size(), 64u);
  Bytes longer = good;
  longer.resize(300, 0x41);
  const std::string goodBody =
      "Recv[ResConnection-Body  ]: 0xc5fe, 0xc90d, STB-7100, 2.4.1, ABCDEFGHIJKLMNOP";
  const Trace bodyError{1, "Recv[ResConnection-Body  ]: error"};
  struct Case {
    const char* what;
    uint16_t data1;
    const Bytes* packet;
    size_t len;
    int replyOk;
    int result;
    std::vector<Trace> body;  // the lines after the header line
  };
  const Case cases[] = {
      {"well formed, link up", 52, &good, 64, 1, 0, {{4, goodBody}}},
      {"well formed, link down", 52, &good, 64, 0, -1, {{4, goodBody}}},
      {"wData1 beyond the body: 52 bytes taken", 200, &longer, 300, 1, 0, {{4, goodBody}}},
      {"wData1 50: the end mark reads 0",
       50,
       &good,
       64,
       1,
       -1,
       {{4, "Recv[ResConnection-Body  ]: 0xc5fe, 0x0, STB-7100, 2.4.1, ABCDEFGHIJKLMNOP"},
        bodyError}},
      {"packet shorter than wData1: nothing past len is read",
       52,
       &good,
       40,
       1,
       -1,
       {{4, "Recv[ResConnection-Body  ]: 0xc5fe, 0x0, STB-7100, 2.4.1, "}, bodyError}},
      {"no body bytes at all",
       52,
       &good,
       12,
       1,
       -1,
       {{4, "Recv[ResConnection-Body  ]: 0x0, 0x0, , , "}, bodyError}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    traces.clear();
    client.m_bReplyOk = c.replyOk;
    EXPECT_EQ(client.ResConnection(Header(0x1001, 0, c.data1), c.packet->data(), c.len), c.result);
    char header[120];
    std::snprintf(header, sizeof header,
                  "Recv[ResConnection-Header]: 0xc9fd, 0xc58d, 0x1001, 0x0, 0x%x", c.data1);
    std::vector<Trace> expected = {{4, header}};
    expected.insert(expected.end(), c.body.begin(), c.body.end());
    EXPECT_THAT(traces, ElementsAreArray(expected));
  }
}

TEST_F(CatalogueTest, ConnectionReplyWithErrorCodeReportsIt) {
  const Bytes good =
      ConnectionPacket(BODY_START_MARK, "STB-7100", "2.4.1", "ABCDEFGHIJKLMNOP", BODY_END_MARK);
  client.m_bReplyOk = 0;
  EXPECT_EQ(client.ResConnection(Header(0x1001, 0x121, 52), good.data(), good.size()), 0);
  EXPECT_EQ(client.ResConnection(Header(0x1001, 0x122, 52), good.data(), good.size()), 0);
  EXPECT_THAT(
      traces,
      ElementsAre(Pair(4, "Recv[ResConnection-Header]: 0xc9fd, 0xc58d, 0x1001, 0x121, 0x34"),
                  Pair(1, "0x121: firmware upgrade error."),
                  Pair(4, "Recv[ResConnection-Header]: 0xc9fd, 0xc58d, 0x1001, 0x122, 0x34")));
}

TEST_F(CatalogueTest, ReportErrorTexts) {
  const std::pair<uint32_t, std::string> known[] = {
      {0x50, "0x50: etc error."},
      {0x100, "0x100: connection error."},
      {0x110, "0x110: rebooting error."},
      {0x120, "0x120: boot loader upgrade error."},
      {0x121, "0x121: firmware upgrade error."},
      {0x130, "0x130: read data error."},
      {0x140, "0x140: write data error."},
      {0x150, "0x150: index data error."},
      {0x160, "0x160: pause data error."},
      {0x161, "0x161: init data error."},
      {0x30161, "0x161: init data error."},  // only the low 16 bits count
  };
  for (const auto& [code, text] : known) {
    SCOPED_TRACE(code);
    traces.clear();
    client.ReportError(3, code);
    EXPECT_THAT(traces, ElementsAre(Pair(3, text)));
  }
  traces.clear();
  for (uint32_t code : {0x122u, 0x0u, 0x51u, 0xFFFFu}) {
    client.ReportError(1, code);
  }
  EXPECT_THAT(traces, IsEmpty());
}

// --- The chunk flow
// -------------------------------------------------------------------------------

// One chunk packet as the flow sent it, by the fields that tell chunks apart.
struct Chunk {
  uint16_t code;
  uint16_t index;
  Bytes data;
  bool operator==(const Chunk&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const Chunk& c) {
    return os << "code 0x" << std::hex << c.code << std::dec << ", index " << c.index << ", "
              << c.data.size() << " bytes";
  }
};

class ChunkFlowTest : public EngineFixture {
 protected:
  int Reply(Parser handler, uint16_t arg) {
    PacketHeader h = Header(0x1005, arg);
    uint8_t bytes[N_BYTE_HEADER_SIZE];
    SerializeHeader(h, bytes);
    return (client.*handler)(h, bytes, sizeof bytes);
  }

  // The chunks written since the last call; anything but a chunk packet fails the test.
  std::vector<Chunk> TakeChunks() {
    std::vector<Chunk> out;
    for (const Bytes& w : TakeWrites()) {
      EXPECT_EQ(w.size(), 1052u);
      if (w.size() != 1052u) {
        continue;
      }
      auto word = [&w](size_t at) { return static_cast<uint16_t>(w[at] | (w[at + 1] << 8)); };
      out.push_back({word(2), word(14), Bytes(w.begin() + 24, w.begin() + 24 + word(16))});
    }
    return out;
  }

  static Bytes Slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + from, b.begin() + from + n);
  }
};

const Bytes kEndF = {0xFD, 0xC9, 0x06, 0x10, 0x02, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00};
const Bytes kEndB = {0xFD, 0xC9, 0x04, 0x10, 0x02, 0x00, 0x00,
                     0x00, 0x00, 0x00, 0x8D, 0xC5, 0x00, 0x00};

TEST_F(ChunkFlowTest, EmptyFileEndsAtOnce) {
  // Written with one byte and cut to none: the fixture's writer is not given an empty buffer.
  ChooseImage("empty.tav", {0x00});
  std::filesystem::resize_file(owner.m_szPathName, 0);
  owner.m_nFileSize = 0;
  owner.m_nMode = kModeFirmware;
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  EXPECT_THAT(TakeWrites(), ElementsAre(kEndF));
  EXPECT_EQ(client.m_pFile, nullptr);
  EXPECT_THAT(traces,
              ElementsAre(Pair(4, "Recv[ResUpgradeF-Header]: 0xc9fd, 0xc58d, 0x1005, 0x1, 0x0"),
                          Pair(5, "Send[ResUpgradeF]: 0xc9fd, 0xc58d, 0x1006, 0x2, 0x0 = 0x0")));
  // The run has ended: a next-chunk reply finds no file.
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), -1);
  EXPECT_THAT(TakeWrites(), IsEmpty());
}

TEST_F(ChunkFlowTest, FileOf2048BytesGoesAsTwoChunksThenEnds) {
  const Bytes image = Pattern(2048);
  ChooseImage("fw.tav", image);
  owner.m_nMode = kModeFirmware;

  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), 0);
  EXPECT_THAT(TakeChunks(), ElementsAre(Chunk{0x1006, 0, Slice(image, 0, 1024)},
                                        Chunk{0x1006, 1, Slice(image, 1024, 1024)}));
  EXPECT_NE(client.m_pFile, nullptr);

  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), 0);
  EXPECT_THAT(TakeWrites(), ElementsAre(kEndF));
  EXPECT_EQ(client.m_pFile, nullptr);

  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), -1);
  EXPECT_THAT(TakeWrites(), IsEmpty());
}

TEST_F(ChunkFlowTest, EachHandlerSendsWithItsRequestInItsMode) {
  const Bytes image = Pattern(1500);
  ChooseImage("image.bin", image);
  struct Case {
    Parser handler;
    int32_t mode;
    uint16_t chunkCode;
    std::string name;
    Bytes end;
  };
  const Case cases[] = {
      {&CSerialClient1::ResUpgradeB, kModeBootAndFirmware, 0x1004, "ResUpgradeB", kEndB},
      {&CSerialClient1::ResUpgradeF, kModeFirmware, 0x1006, "ResUpgradeF", kEndF},
      {&CSerialClient1::ResUpgradeF2, kModeBootAndFirmware, 0x1006, "ResUpgradeF", kEndF},
      {&CSerialClient1::ResUpgradeF3, kModeModule, 0x1042, "ResUpgradeF", kEndF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode);
    owner.m_nMode = c.mode;
    traces.clear();
    EXPECT_EQ(Reply(c.handler, 1), 0);
    EXPECT_EQ(Reply(c.handler, 0), 0);
    EXPECT_THAT(TakeChunks(), ElementsAre(Chunk{c.chunkCode, 0, Slice(image, 0, 1024)},
                                          Chunk{c.chunkCode, 1, Slice(image, 1024, 476)}));
    EXPECT_EQ(Reply(c.handler, 0), 0);
    EXPECT_THAT(TakeWrites(), ElementsAre(c.end));
    ASSERT_FALSE(traces.empty());
    EXPECT_EQ(traces.front(),
              Trace(4, "Recv[" + c.name + "-Header]: 0xc9fd, 0xc58d, 0x1005, 0x1, 0x0"));
  }
}

TEST_F(ChunkFlowTest, OtherModeReadsAndAdvancesButSendsOnlyTheEnd) {
  ChooseImage("fw.tav", Pattern(2048));
  owner.m_nMode = kModeBootAndFirmware;

  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  EXPECT_EQ(client.m_nChunkIndex, 1);
  EXPECT_EQ(client.m_nReadLen, 1024u);
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), 0);
  EXPECT_EQ(client.m_nChunkIndex, 2);
  EXPECT_THAT(TakeWrites(), IsEmpty());

  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), 0);
  EXPECT_THAT(TakeWrites(), ElementsAre(kEndF));
  EXPECT_EQ(client.m_pFile, nullptr);
}

TEST_F(ChunkFlowTest, ResendRepeatsTheLastChunkWithTheNextIndex) {
  const Bytes image = Pattern(1500);
  ChooseImage("boot.tav", image);
  owner.m_nMode = kModeBootAndFirmware;
  owner.m_nResendLimit = 1;

  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeB, 1), 0);
  // The retry count goes back to 0 after each resend, so a limit of 1 allows any number in a row.
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeB, 3), 0);
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeB, 3), 0);
  EXPECT_EQ(client.m_nRetryCount, 0);
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeB, 0), 0);
  const Bytes first = Slice(image, 0, 1024);
  EXPECT_THAT(TakeChunks(),
              ElementsAre(Chunk{0x1004, 0, first}, Chunk{0x1004, 1, first}, Chunk{0x1004, 1, first},
                          Chunk{0x1004, 1, Slice(image, 1024, 476)}));
}

TEST_F(ChunkFlowTest, ResendLimit) {
  const Bytes image = Pattern(1500);
  ChooseImage("boot.tav", image);
  owner.m_nMode = kModeBootAndFirmware;
  struct Case {
    Parser handler;
    int32_t limit;
    size_t resent;
  };
  const Case cases[] = {
      {&CSerialClient1::ResUpgradeB, 0, 0},
      {&CSerialClient1::ResUpgradeB, -1, 0},
      {&CSerialClient1::ResUpgradeB, 3, 1},
      // The firmware handlers resend without a limit.
      {&CSerialClient1::ResUpgradeF2, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "limit " << c.limit);
    owner.m_nResendLimit = c.limit;
    ASSERT_EQ(Reply(c.handler, 1), 0);
    TakeWrites();
    EXPECT_EQ(Reply(c.handler, 3), 0);
    EXPECT_EQ(TakeChunks().size(), c.resent);
    EXPECT_EQ(client.m_nRetryCount, 0);
  }
}

TEST_F(ChunkFlowTest, ResendInOtherModeOrOnClosedPortSendsNothing) {
  ChooseImage("boot.tav", Pattern(1500));
  owner.m_nMode = kModeBootAndFirmware;
  ASSERT_EQ(Reply(&CSerialClient1::ResUpgradeB, 1), 0);
  TakeWrites();

  owner.m_nMode = kModeFirmware;
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeB, 3), 0);
  EXPECT_THAT(TakeWrites(), IsEmpty());

  owner.m_nMode = kModeBootAndFirmware;
  client.m_nRetryCount = 0;
  ASSERT_EQ(client.ClosePort(), 1);
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeB, 3), -1);
  EXPECT_EQ(client.m_nRetryCount, 1);
}

TEST_F(ChunkFlowTest, NextChunkNeedsAnOpenFileAndAnOwner) {
  ChooseImage("fw.tav", Pattern(3000));
  owner.m_nMode = kModeFirmware;
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), -1);
  EXPECT_THAT(TakeWrites(), IsEmpty());

  ASSERT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  TakeWrites();
  client.m_pOwner = nullptr;
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), -1);
  EXPECT_THAT(TakeWrites(), IsEmpty());
  EXPECT_EQ(client.m_nChunkIndex, 1);
}

TEST_F(ChunkFlowTest, ClosedPortKeepsTheChunkIndex) {
  ChooseImage("fw.tav", Pattern(3000));
  owner.m_nMode = kModeFirmware;
  ASSERT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  ASSERT_EQ(client.ClosePort(), 1);
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), -1);
  EXPECT_EQ(client.m_nChunkIndex, 1);
}

TEST_F(ChunkFlowTest, RestartBeginsAgainFromChunk0) {
  const Bytes image = Pattern(3000);
  ChooseImage("fw.tav", image);
  owner.m_nMode = kModeFirmware;
  ASSERT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  ASSERT_EQ(Reply(&CSerialClient1::ResUpgradeF, 0), 0);
  TakeWrites();
  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  EXPECT_THAT(TakeChunks(), ElementsAre(Chunk{0x1006, 0, Slice(image, 0, 1024)}));
}

TEST_F(ChunkFlowTest, RestartWithAMissingFileClearsTheCounters) {
  ChooseImage("fw.tav", Pattern(3000));
  owner.m_nMode = kModeFirmware;
  ASSERT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  ASSERT_EQ(Reply(&CSerialClient1::ResUpgradeF, 3), 0);
  TakeWrites();
  client.m_nRetryCount = 2;
  std::snprintf(owner.m_szPathName, sizeof owner.m_szPathName, "%s/gone.tav", dir.path().c_str());

  EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), -1);
  EXPECT_EQ(client.m_pFile, nullptr);
  EXPECT_EQ(client.m_nChunkIndex, 0);
  EXPECT_EQ(client.m_nRetryCount, 0);
  EXPECT_EQ(client.m_nReadLen, 0u);
  EXPECT_THAT(TakeWrites(), IsEmpty());
}

TEST_F(ChunkFlowTest, OtherArgumentsChangeNothing) {
  ChooseImage("fw.tav", Pattern(3000));
  owner.m_nMode = kModeFirmware;
  ASSERT_EQ(Reply(&CSerialClient1::ResUpgradeF, 1), 0);
  TakeWrites();
  for (uint16_t arg : {2, 4, 0xC0}) {
    EXPECT_EQ(Reply(&CSerialClient1::ResUpgradeF, arg), 0);
  }
  EXPECT_THAT(TakeWrites(), IsEmpty());
  EXPECT_EQ(client.m_nChunkIndex, 1);
  EXPECT_EQ(client.m_nReadLen, 1024u);
}

}  // namespace
}  // namespace wick::test
