// The simulated box against a tool played by hand on the slave side of its pseudo-terminal: the
// bytes it sends, the answers it accepts, and the ones it refuses with words.
#include "sim/sim_box.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "util/crc32.h"

namespace wick::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr size_t kBlock = 8192;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A header as the PC sends it: words low byte first, end bytes 8D C5.
Bytes PcHeader(uint16_t code, uint16_t arg, uint16_t data1 = 0, uint16_t data2 = 0) {
  Bytes out;
  for (uint16_t w : {uint16_t{0xC9FD}, code, arg, data1, data2, uint16_t{0xC58D}}) {
    out.push_back(static_cast<uint8_t>(w & 0xFF));
    out.push_back(static_cast<uint8_t>(w >> 8));
  }
  return out;
}

Bytes Announcement(uint16_t code, int32_t size) {
  Bytes out = PcHeader(code, 1, 12);
  uint32_t s = static_cast<uint32_t>(size);
  Bytes body = {0xFE,
                0xC5,
                0x00,
                0x00,
                static_cast<uint8_t>(s),
                static_cast<uint8_t>(s >> 8),
                static_cast<uint8_t>(s >> 16),
                static_cast<uint8_t>(s >> 24),
                0x0D,
                0xC9,
                0x00,
                0x00};
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Distinct bytes in the listed blocks, 0xFF elsewhere.
Bytes Blocks(size_t bytes, std::initializer_list<size_t> dataBlocks) {
  Bytes out(bytes, 0xFF);
  for (size_t b : dataBlocks) {
    for (size_t i = b * kBlock; i < std::min(bytes, (b + 1) * kBlock); ++i) {
      out[i] = static_cast<uint8_t>((i * 131 + 7) % 251);
    }
  }
  return out;
}

Bytes PadTo(Bytes bytes, uint8_t fill) {
  bytes.resize((bytes.size() + kBlock - 1) / kBlock * kBlock, fill);
  return bytes;
}

uint32_t Crc(const Bytes& b, size_t from, size_t count) {
  return Crc32(b.data() + from, static_cast<uint32_t>(count));
}

struct Request {
  uint16_t code = 0;
  uint16_t arg = 0;
  int noise = 0;        // bytes before the 0xFD
  bool badEnd = false;  // not ending C5 8D
};

// The tool's end of the line, opened the way the tool opens it.
class PcSide {
 public:
  explicit PcSide(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (fd_ >= 0 && tcgetattr(fd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~PcSide() { Close(); }

  bool open_ok() const { return fd_ >= 0; }
  bool hungUp() const { return hung_up_; }

  void Write(const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd p{fd_, POLLOUT, 0};
        poll(&p, 1, 100);
      } else if (n < 0 && errno == EIO) {
        // The box has already failed on what came first and closed the line: the rest of the
        // answer has nobody to go to.
        hung_up_ = true;
        return;
      } else {
        ADD_FAILURE() << "writing the tool's side: " << std::strerror(errno);
        return;
      }
    }
  }

  // The box's next header; noise before it is counted. Empty on a hang-up or after the timeout.
  std::optional<Request> ReadRequest(int timeoutMs = 2000) {
    int64_t deadline = NowMs() + timeoutMs;
    Request r;
    uint8_t b = 0;
    for (;;) {
      if (!ReadByte(b, deadline)) {
        return std::nullopt;
      }
      if (b == 0xFD) {
        break;
      }
      ++r.noise;
    }
    Bytes h{0xFD};
    while (h.size() < 12) {
      if (!ReadByte(b, deadline)) {
        return std::nullopt;
      }
      h.push_back(b);
    }
    r.code = static_cast<uint16_t>(h[2] << 8 | h[3]);
    r.arg = static_cast<uint16_t>(h[4] << 8 | h[5]);
    r.badEnd = !(h[10] == 0xC5 && h[11] == 0x8D);
    return r;
  }

  // Whatever arrives within the time.
  Bytes ReadFor(int ms) {
    Bytes out;
    uint8_t b = 0;
    int64_t deadline = NowMs() + ms;
    while (ReadByte(b, deadline)) {
      out.push_back(b);
    }
    return out;
  }

  void Close() {
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }

 private:
  bool ReadByte(uint8_t& b, int64_t deadline) {
    while (!hung_up_) {
      ssize_t n = read(fd_, &b, 1);
      if (n == 1) {
        return true;
      }
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        hung_up_ = true;
        break;
      }
      int64_t left = deadline - NowMs();
      if (left <= 0) {
        break;
      }
      pollfd p{fd_, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left));
    }
    return false;
  }

  int fd_ = -1;
  bool hung_up_ = false;
};

// The tool as the box expects it, with the faults a test puts in.
struct Tool {
  uint16_t announced = 0;
  int32_t size = 0;
  Bytes prepared{};  // whole blocks
  uint32_t firstOffset = 0;
  uint32_t finalCrc = 0;
  int badCrcCopies = 0;    // the first data blocks sent carry a wrong CRC
  int ignoreAfterBad = 0;  // headers dropped after one with a wrong end mark
  int stallMs = 0;  // after a dropped header, the answer pauses this long after its first byte
  std::function<void(uint16_t code, Bytes& answer)> tamper{};
};

struct Transcript {
  std::vector<Request> requests;
  uint32_t offsetAtEnd = 0;
  bool ended = false;  // 0x1023 answered
};

Bytes BlockAnswer(const Bytes& prepared, size_t offset, bool wrongCrc) {
  auto first = prepared.begin() + static_cast<ptrdiff_t>(offset);
  if (std::all_of(first, first + kBlock, [](uint8_t x) { return x == 0xFF; })) {
    return PcHeader(0x1020, 1);
  }
  uint32_t crc = Crc(prepared, offset, kBlock) ^ (wrongCrc ? 1u : 0u);
  Bytes out = PcHeader(0x1020, 0, static_cast<uint16_t>(crc >> 16), static_cast<uint16_t>(crc));
  out.insert(out.end(), first, first + kBlock);
  return out;
}

// Gives a tampered block answer the CRC of its (tampered) data.
void Recrc(Bytes& answer) {
  uint32_t crc = Crc(answer, 12, kBlock);
  Bytes h = PcHeader(0x1020, 0, static_cast<uint16_t>(crc >> 16), static_cast<uint16_t>(crc));
  std::copy(h.begin(), h.end(), answer.begin());
}

// Plays the tool's engine: announces, then answers each request until 0x1023 or the line ends.
Transcript Play(PcSide& pc, Tool tool) {
  Transcript t;
  pc.Write(Announcement(tool.announced, tool.size));
  size_t offset = 0;
  int dropping = 0;
  bool stall = false;
  while (auto r = pc.ReadRequest()) {
    t.requests.push_back(*r);
    if (r->badEnd) {
      dropping = tool.ignoreAfterBad;
      stall = tool.stallMs > 0;
      continue;
    }
    if (dropping > 0) {
      --dropping;
      continue;
    }
    Bytes answer;
    switch (r->code) {
      case 0x1001:
        answer = PcHeader(0x1004, 0);
        break;
      case 0x1011:
        answer = PcHeader(0x1006, 0, static_cast<uint16_t>(tool.size),
                          static_cast<uint16_t>(static_cast<uint32_t>(tool.size) >> 16));
        break;
      case 0x1005:
      case 0x1007:
      case 0x1041:
      case 0x1043:
      case 0x1021:
        if (r->code != 0x1021) {
          offset = tool.firstOffset;
        } else if (r->arg == 0x00C0) {
          offset -= kBlock;
        }
        if (offset + kBlock > tool.prepared.size()) {
          ADD_FAILURE() << "the box asked for a block past the prepared image";
          return t;
        }
        answer = BlockAnswer(tool.prepared, offset, false);
        if (answer.size() > 12 && tool.badCrcCopies > 0) {
          --tool.badCrcCopies;
          answer = BlockAnswer(tool.prepared, offset, true);
        }
        offset += kBlock;
        break;
      case 0x1023:
        answer = PcHeader(0x1023, 0, static_cast<uint16_t>(tool.finalCrc >> 16),
                          static_cast<uint16_t>(tool.finalCrc));
        t.offsetAtEnd = static_cast<uint32_t>(offset);
        t.ended = true;
        break;
      default:
        ADD_FAILURE() << "the box sent the code 0x" << std::hex << r->code;
        return t;
    }
    if (tool.tamper) {
      tool.tamper(r->code, answer);
    }
    if (stall) {
      stall = false;
      pc.Write(Bytes(answer.begin(), answer.begin() + 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(tool.stallMs));
      answer.erase(answer.begin());
    }
    pc.Write(answer);
    if (t.ended) {
      break;
    }
  }
  return t;
}

// Channel data of 10,000 bytes: a blank first block, then 1,808 bytes and the zero padding.
Tool ChannelTool() {
  Bytes file = Blocks(10000, {1});
  return {.announced = 0x1042,
          .size = 10000,
          .prepared = PadTo(file, 0x00),
          .firstOffset = 0,
          .finalCrc = Crc(file, 0, file.size())};
}

std::vector<uint16_t> Codes(const Transcript& t) {
  std::vector<uint16_t> out;
  for (const Request& r : t.requests) {
    out.push_back(r.code);
  }
  return out;
}

int AskedAgain(const Transcript& t) {
  return static_cast<int>(std::count_if(t.requests.begin(), t.requests.end(), [](const Request& r) {
    return r.code == 0x1021 && r.arg == 0x00C0;
  }));
}

struct Outcome {
  Transcript transcript;
  BoxResult result;
};

// One run of the box against the tool as played. The box's line is closed as soon as the box is
// done, so that the tool's side sees the end at once.
Outcome PlayRun(const Tool& tool, BoxOptions options) {
  BoxPty pty;
  EXPECT_TRUE(pty.ok()) << pty.error();
  options.answerTimeoutMs = 2000;
  std::stop_source stop;
  auto box = std::async(std::launch::async, [&] {
    BoxResult r = RunBox(pty.master(), options, stop.get_token());
    pty.Vanish();
    return r;
  });
  PcSide pc(pty.slavePath());
  Outcome out;
  out.transcript = Play(pc, tool);
  if (box.wait_for(5s) != std::future_status::ready) {
    ADD_FAILURE() << "the box did not end";
    stop.request_stop();
  }
  out.result = box.get();
  return out;
}

class SimBox : public ::testing::Test {
 protected:
  ~SimBox() override { stop_.request_stop(); }

  void Start(BoxOptions options = {}) {
    ASSERT_TRUE(pty_.ok()) << pty_.error();
    if (options.answerTimeoutMs == BoxOptions{}.answerTimeoutMs) {
      options.answerTimeoutMs = 2000;
    }
    box_ = std::async(std::launch::async, [this, options] {
      return RunBox(pty_.master(), options, stop_.get_token());
    });
    pc_.emplace(pty_.slavePath());
    ASSERT_TRUE(pc_->open_ok());
  }

  BoxResult Result() {
    if (box_.wait_for(5s) != std::future_status::ready) {
      ADD_FAILURE() << "the box did not end";
      stop_.request_stop();
    }
    return box_.get();
  }

  BoxPty pty_;
  std::stop_source stop_;
  std::optional<PcSide> pc_;
  std::future<BoxResult> box_;
};

// --- Whole runs, one per kind
// ---------------------------------------------------------------------

struct RunCase {
  const char* name;
  Tool tool;
  std::optional<uint16_t> transferOption;
  uint16_t transferCode;
  Bytes expectedImage;
  int blocks;
  int blanks;
};

std::vector<RunCase> RunCases() {
  std::vector<RunCase> cases;
  {
    Tool t = ChannelTool();
    Bytes file(t.prepared.begin(), t.prepared.begin() + 10000);
    cases.push_back({"channel data", t, {}, 0x1043, file, 2, 1});
  }
  {
    // Boot loader and firmware: one payload block, then the 68 bytes of 0xFF (S = 8,260).
    Bytes prepared = Blocks(8192, {0});
    prepared.insert(prepared.end(), 68, 0xFF);
    Tool t{.announced = 0x1004, .size = 8260, .prepared = PadTo(prepared, 0xFF)};
    t.finalCrc = Crc(prepared, 0, prepared.size());
    cases.push_back({"boot loader and firmware", t, {}, 0x1005, prepared, 2, 1});
    // The same image asked for with 0x1005 after a firmware announcement.
    t.announced = 0x1006;
    cases.push_back({"firmware, 0x1005 by option", t, 0x1005, 0x1005, prepared, 2, 1});
  }
  {
    // Module: raw, zero-padded, the final CRC over the first 0x40000 bytes only.
    Bytes file = Blocks(0x40000 + 100, {0, 31, 32});
    Tool t{.announced = 0x1040, .size = 0x40000 + 100, .prepared = PadTo(file, 0x00)};
    t.finalCrc = Crc(file, 0, 0x40000);
    cases.push_back({"module", t, {}, 0x1041, file, 33, 30});
  }
  {
    // Firmware: from 0x20000 on; block 3 is never asked for and stays 0xFF in the box's image.
    const size_t size = 0x1A0000;
    Bytes prepared = Blocks(size - 68, {3, 16, 100, 207});
    prepared.insert(prepared.end(), 68, 0xFF);
    Tool t{.announced = 0x1006, .size = static_cast<int32_t>(size), .prepared = prepared};
    t.firstOffset = 0x20000;
    t.finalCrc = Crc(prepared, 0x20000, 0x180000);
    Bytes expected = prepared;
    std::fill(expected.begin(), expected.begin() + 0x20000, 0xFF);
    cases.push_back({"firmware", t, {}, 0x1007, expected, 208 - 16, 208 - 16 - 3});
  }
  return cases;
}

TEST(SimBoxRun, WholeRunOfEachKindEndsOkWithThePreparedImage) {
  for (const RunCase& c : RunCases()) {
    SCOPED_TRACE(c.name);
    auto [t, r] = PlayRun(c.tool, {.transferCode = c.transferOption});

    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_TRUE(t.ended);
    std::vector<uint16_t> expectedCodes = {0x1001, 0x1011, c.transferCode};
    expectedCodes.insert(expectedCodes.end(), static_cast<size_t>(c.blocks - 1), 0x1021);
    expectedCodes.push_back(0x1023);
    EXPECT_EQ(Codes(t), expectedCodes);
    EXPECT_EQ(t.offsetAtEnd, c.tool.prepared.size()) << "the box stopped short or went past";
    EXPECT_EQ(r.announcedCode, c.tool.announced);
    EXPECT_EQ(r.announcedSize, c.tool.size);
    EXPECT_EQ(r.transferCode, c.transferCode);
    EXPECT_TRUE(r.image == c.expectedImage) << "image of " << r.image.size() << " bytes differs";
    EXPECT_EQ(r.expectedCrc, c.tool.finalCrc);
    EXPECT_EQ(r.receivedCrc, c.tool.finalCrc);
    EXPECT_EQ(r.blocks, c.blocks);
    EXPECT_EQ(r.blanks, c.blanks);
    EXPECT_EQ(r.resendsAsked, 0);
  }
}

// --- Blocks asked for again ----------------------------------------------------------------------

TEST(SimBoxRun, BlockWithWrongCrcIsAskedAgainAtMostFiveTimes) {
  struct Case {
    int badCopies;
    bool ok;
    int askedAgain;
  } cases[] = {{1, true, 1}, {5, true, 5}, {6, false, 5}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.badCopies);
    Tool tool = ChannelTool();
    tool.badCrcCopies = c.badCopies;
    auto [t, r] = PlayRun(tool, {});

    EXPECT_EQ(r.ok, c.ok) << r.failure;
    EXPECT_EQ(AskedAgain(t), c.askedAgain);
    EXPECT_EQ(r.resendsAsked, c.askedAgain);
    if (c.ok) {
      EXPECT_EQ(r.image, Bytes(tool.prepared.begin(), tool.prepared.begin() + 10000));
    } else {
      EXPECT_NE(r.failure.find("block 1 at 0x002000 still fails its CRC"), std::string::npos)
          << r.failure;
    }
  }
}

TEST(SimBoxRun, ResendAndCorruptOptionsAskForEveryNthBlockAgain) {
  struct Case {
    const char* name;
    int resendEvery;
    int corruptEvery;
    std::vector<size_t> askedAgainAfter;  // the blocks whose request precedes each 0x00C0
  } cases[] = {
      {"resend every 2nd", 2, 0, {1, 3}},
      {"corrupt every 3rd", 0, 3, {2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = Blocks(4 * kBlock, {0, 1, 2, 3});
    auto [t, r] = PlayRun({.announced = 0x1042,
                           .size = static_cast<int32_t>(file.size()),
                           .prepared = file,
                           .finalCrc = Crc(file, 0, file.size())},
                          {.resendEvery = c.resendEvery, .corruptEvery = c.corruptEvery});

    EXPECT_TRUE(r.ok) << r.failure;
    EXPECT_EQ(r.image, file);
    std::vector<size_t> after;
    size_t block = 0;
    for (size_t i = 2; i < t.requests.size(); ++i) {
      if (t.requests[i].arg == 0x00C0) {
        after.push_back(block - 1);
      } else {
        ++block;
      }
    }
    EXPECT_EQ(after, c.askedAgainAfter);
    EXPECT_EQ(r.resendsAsked, static_cast<int>(c.askedAgainAfter.size()));
  }
}

// --- Noise and a header with a wrong end mark ----------------------------------------------------

TEST(SimBoxRun, NoiseGoesBeforeEveryHeaderAndHoldsNoSyncByte) {
  auto [t, r] = PlayRun(ChannelTool(), {.noiseBytes = 5});

  EXPECT_TRUE(r.ok) << r.failure;
  ASSERT_EQ(t.requests.size(), 5u);
  for (const Request& q : t.requests) {
    EXPECT_EQ(q.noise, 5) << "before 0x" << std::hex << q.code;
  }
}

TEST(SimBoxRun, AfterABadHeaderTheRequestIsRepeatedUntilTheAnswerStarts) {
  Tool tool = ChannelTool();
  tool.ignoreAfterBad = 1;  // the real tool drops ten; one shows the repeating
  tool.stallMs = 700;       // longer than the box's 500 ms, once the answer has begun
  auto [t, r] = PlayRun(tool, {.badHeaderAtBlock = 1});

  EXPECT_TRUE(r.ok) << r.failure;
  ASSERT_EQ(t.requests.size(), 7u);
  EXPECT_EQ(t.requests[2].code, 0x1043);
  EXPECT_TRUE(t.requests[3].badEnd);
  EXPECT_EQ(t.requests[3].code, 0x1021);
  for (size_t i = 4; i < 6; ++i) {
    EXPECT_EQ(t.requests[i].code, 0x1021);
    EXPECT_FALSE(t.requests[i].badEnd);
  }
  EXPECT_EQ(t.requests[6].code, 0x1023) << "repeated while the answer was coming";
}

// --- Wrong answers fail with words ---------------------------------------------------------------

TEST(SimBoxRun, WrongAnswerFailsNamingWhatWasWrong) {
  struct Case {
    const char* name;
    uint16_t request;
    std::function<void(Bytes&)> tamper;
    const char* words;
  } cases[] = {
      {"reply code", 0x1001, [](Bytes& a) { a[2] = 0x06; },
       "the reply to 0x1001 carries the code 0x1006, expected 0x1004"},
      {"end mark in the box's order", 0x1001, [](Bytes& a) { std::swap(a[10], a[11]); },
       "the reply to 0x1001 ends with C5 8D, not 8D C5"},
      {"start mark", 0x1011, [](Bytes& a) { a[1] = 0x00; },
       "the reply to 0x1011 starts with FD 00, not FD C9"},
      {"size", 0x1011, [](Bytes& a) { a[6] = 0x0F; },
       "the reply to 0x1011 carries the size 9999, announced 10000"},
      {"size high half", 0x1011, [](Bytes& a) { a[8] = 0x01; },
       "carries the size 75536, announced 10000"},
      {"blank with values", 0x1043, [](Bytes& a) { a[7] = 0x12; },
       "is a blank header with the values 0x1200, 0x0000"},
      {"block code", 0x1021, [](Bytes& a) { a[2] = 0x21; },
       "(block 1 at 0x002000) carries the code 0x1021, expected 0x1020"},
      {"all 0xFF as data", 0x1021,
       [](Bytes& a) {
         std::fill(a.begin() + 12, a.end(), 0xFF);
         Recrc(a);
       },
       "block 1 at 0x002000 is all 0xFF but came as data"},
      {"padding not zero", 0x1021,
       [](Bytes& a) {
         a[12 + 10000 - kBlock + 5] = 0x01;
         Recrc(a);
       },
       "the padding after the image holds 0x01 at offset 0x002715, expected 0x00"},
      {"final CRC", 0x1023, [](Bytes& a) { a[8] ^= 0x01; }, "the final CRC"},
      {"final code", 0x1023, [](Bytes& a) { a[2] = 0x24; }, "carries the code 0x1024"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tool tool = ChannelTool();
    tool.tamper = [&](uint16_t code, Bytes& answer) {
      if (code == c.request) {
        c.tamper(answer);
      }
    };
    BoxResult r = PlayRun(tool, {}).result;

    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.failure.find(c.words), std::string::npos) << r.failure;
  }
}

TEST(SimBoxRun, WrongAnnouncementFailsBeforeTheBoxSendsAnything) {
  struct Case {
    const char* name;
    Bytes announcement;
    const char* words;
  } cases[] = {
      {"start mark",
       [] {
         auto a = Announcement(0x1042, 100);
         a[0] = 0xFE;
         return a;
       }(),
       "the announcement carries start mark 0xc9fe, expected 0xc9fd"},
      {"chunk form",
       [] {
         auto a = Announcement(0x1042, 100);
         a[4] = 0;
         return a;
       }(),
       "argument 0x0000, expected 0x0001"},
      {"body end mark",
       [] {
         auto a = Announcement(0x1042, 100);
         a[21] = 0;
         return a;
       }(),
       "body end mark"},
      {"unknown code", Announcement(0x1008, 100), "the code 0x1008, none of"},
      {"negative size", Announcement(0x1042, -1), "the size -1, which is negative"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BoxPty pty;
    BoxOptions options;
    options.answerTimeoutMs = 2000;
    auto box = std::async(std::launch::async, [&] { return RunBox(pty.master(), options); });
    PcSide pc(pty.slavePath());
    pc.Write(c.announcement);
    BoxResult r = box.get();

    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.failure.find(c.words), std::string::npos) << r.failure;
    EXPECT_TRUE(pc.ReadFor(20).empty());
  }
}

// --- The line going away, silence, stop ----------------------------------------------------------

TEST_F(SimBox, ToolClosingItsSideFailsAtOnce) {
  Start({.answerTimeoutMs = 5000});
  pc_->Write(Announcement(0x1042, 10000));
  auto q = pc_->ReadRequest();
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(q->code, 0x1001);
  int64_t closedAt = NowMs();
  pc_->Close();
  BoxResult r = Result();

  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.failure,
            "the tool side closed the line while the box waited for the reply to 0x1001");
  EXPECT_LT(NowMs() - closedAt, 1000) << "noticed by the timeout, not by the hang-up";
}

TEST_F(SimBox, VanishClosesTheLineAfterTheBlocksAsked) {
  Start({.vanishAfterBlocks = 1});
  Transcript t = Play(*pc_, ChannelTool());
  BoxResult r = Result();

  EXPECT_TRUE(pc_->hungUp());
  EXPECT_EQ(Codes(t), (std::vector<uint16_t>{0x1001, 0x1011, 0x1043}));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.failure, "the box closed the line after 1 blocks, as asked");
  EXPECT_EQ(r.blocks, 1);
}

TEST_F(SimBox, SilentBoxReadsTheAnnouncementAndSendsNothing) {
  Start({.silent = true, .answerTimeoutMs = 300});
  pc_->Write(Announcement(0x1042, 10000));
  EXPECT_TRUE(pc_->ReadFor(500).empty());
  BoxResult r = Result();

  EXPECT_TRUE(r.ok) << r.failure;
  EXPECT_EQ(r.announcedCode, 0x1042);
  EXPECT_EQ(r.announcedSize, 10000);
  EXPECT_EQ(r.blocks, 0);
}

TEST_F(SimBox, StopEndsAWaitWithoutLimit) {
  Start({.announcementTimeoutMs = 0});
  std::this_thread::sleep_for(50ms);
  int64_t stoppedAt = NowMs();
  stop_.request_stop();
  BoxResult r = Result();

  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.failure, "stopped while waiting for the announcement");
  EXPECT_LT(NowMs() - stoppedAt, 500);
}

}  // namespace
}  // namespace wick::sim
