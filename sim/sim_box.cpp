#include "sim/sim_box.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "protocol/packet_header.h"
#include "sim/box_line.h"
#include "util/crc32.h"

namespace wick::sim {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kAnnouncementSize = 24;
constexpr int kMaxResendsPerBlock = 5;

std::string Hex(uint32_t value, int digits = 4) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

// --- What the box expects of a transfer
// ------------------------------------------------------------

struct Plan {
  uint32_t firstOffset = 0;
  uint8_t fill = 0x00;       // the padding after the S prepared bytes, up to a whole block
  bool headRemoved = false;  // the last 68 prepared bytes are 0xFF where head and trailer were
  uint32_t crcBegin = 0;
  uint32_t crcLength = 0;
};

Plan PlanFor(uint16_t transferCode, uint32_t size) {
  switch (transferCode) {
    case CODE_START_WHOLE:
      return {0, 0xFF, true, 0, size};
    case CODE_START_FIRMWARE:
      return {0x20000, 0xFF, true, 0x20000, 0x180000};
    case CODE_START_MODULE:
      return {0, 0x00, false, 0, 0x40000};
    default:  // 0x1043, and codes the tool does not know
      return {0, 0x00, false, 0, size};
  }
}

std::optional<uint16_t> TransferCodeFor(uint16_t announcedCode) {
  switch (announcedCode) {
    case CODE_UPGRADE_B:
      return CODE_START_WHOLE;
    case CODE_UPGRADE_F:
      return CODE_START_FIRMWARE;
    case CODE_UPGRADE_M:
      return CODE_START_MODULE;
    case CODE_UPGRADE_C:
      return CODE_START_CHANNEL;
    default:
      return std::nullopt;
  }
}

const char* KindOf(uint16_t announcedCode) {
  switch (announcedCode) {
    case CODE_UPGRADE_B:
      return "boot loader and firmware";
    case CODE_UPGRADE_F:
      return "firmware";
    case CODE_UPGRADE_M:
      return "module";
    default:
      return "channel data";
  }
}

// A header as the box sends it: words high byte first, end bytes C5 8D.
std::vector<uint8_t> BoxHeader(uint16_t code, uint16_t arg) {
  return {0xFD,
          0x00,
          static_cast<uint8_t>(code >> 8),
          static_cast<uint8_t>(code & 0xFF),
          static_cast<uint8_t>(arg >> 8),
          static_cast<uint8_t>(arg & 0xFF),
          0x00,
          0x00,
          0x00,
          0x00,
          0xC5,
          0x8D};
}

std::string Describe(uint16_t code, uint16_t arg) {
  return arg == 0 ? Hex(code) : Hex(code) + " arg " + Hex(arg);
}

// A header as the PC sends it: words low byte first.
struct PcHeader {
  uint16_t code = 0, arg = 0, data1 = 0, data2 = 0;
};

PcHeader DecodePc(const std::vector<uint8_t>& b) {
  auto word = [&](size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); };
  return {word(2), word(4), word(6), word(8)};
}

struct Block {
  bool blank = false;
  uint32_t crc = 0;
  std::vector<uint8_t> data;
};

// --- The box -------------------------------------------------------------------------------------

class Box {
 public:
  Box(int fd, const BoxOptions& options, std::stop_token stop)
      : fd_(fd), o_(options), line_(fd, std::move(stop)) {}

  BoxResult Run() {
    if (!line_.usable()) {
      Fail(line_.error());
    } else if (ReadAnnouncement()) {
      if (o_.silent) {
        r_.ok = StaySilent();
      } else {
        r_.ok = UpgradeQuery() && SizeQuery() && Transfer() && FinalCrc();
      }
    }
    if (!image_.empty()) {
      image_.resize(static_cast<size_t>(r_.announcedSize));
      r_.image = std::move(image_);
    }
    return std::move(r_);
  }

 private:
  bool Fail(std::string why) {
    if (r_.failure.empty()) {
      r_.failure = std::move(why);
    }
    return false;
  }

  void Log(const std::string& line) {
    if (o_.log) {
      o_.log(line);
    }
  }

  int AnswerTimeout() const { return o_.answerTimeoutMs > 0 ? o_.answerTimeoutMs : -1; }

  bool FailWait(Wait w, const std::string& what, int timeoutMs) {
    switch (w) {
      case Wait::kOk:
        return true;
      case Wait::kTimeout:
        return Fail("waited " + std::to_string(timeoutMs) + " ms in vain for " + what + " (" +
                    std::to_string(line_.pending()) + " bytes of it came)");
      case Wait::kGone:
        return Fail("the tool side closed the line while the box waited for " + what);
      case Wait::kStopped:
        return Fail("stopped while waiting for " + what);
      case Wait::kFailed:
        return Fail(line_.error() + ", while waiting for " + what);
    }
    return false;
  }

  // Noise that the tool's receive side has to skip: anything but the sync byte 0xFD.
  std::vector<uint8_t> WithNoise(const std::vector<uint8_t>& header) {
    std::vector<uint8_t> out;
    for (int i = 0; i < o_.noiseBytes; ++i) {
      noise_ = noise_ * 1103515245u + 12345u;
      uint8_t b = static_cast<uint8_t>(noise_ >> 16);
      out.push_back(b == 0xFD ? 0xFC : b);
    }
    out.insert(out.end(), header.begin(), header.end());
    return out;
  }

  bool SendHeader(const std::vector<uint8_t>& header, const std::string& what) {
    return FailWait(line_.Write(WithNoise(header), AnswerTimeout()), "room on the line for " + what,
                    o_.answerTimeoutMs);
  }

  // Sends a request. Before block request number badHeaderAtBlock, a copy with the wrong end mark
  // goes first, and the real request is then repeated until the tool's answer starts.
  bool SendRequest(uint16_t code, uint16_t arg, bool bringsBlock) {
    std::vector<uint8_t> header = BoxHeader(code, arg);
    if (bringsBlock) {
      if (block_requests_ == o_.badHeaderAtBlock) {
        std::vector<uint8_t> bad = header;
        bad[10] = 0x8D;
        bad[11] = 0xC5;
        if (!SendHeader(bad, "a header with a wrong end mark")) {
          return false;
        }
        Log("sent " + Describe(code, arg) +
            " with the end mark 8D C5; repeating the request until the tool answers");
        repeat_ = header;
      }
      if (block_requests_ == o_.floodAtBlock) {
        std::vector<uint8_t> flood(static_cast<size_t>(std::max(0, o_.floodBytes)));
        for (auto& b : flood) {
          noise_ = noise_ * 1103515245u + 12345u;
          b = static_cast<uint8_t>(noise_ >> 16);
        }
        if (!FailWait(line_.Write(flood, AnswerTimeout()), "room on the line for the flood",
                      o_.answerTimeoutMs)) {
          return false;
        }
        Log("sent " + std::to_string(flood.size()) +
            " bytes of garbage; repeating the request until the tool answers");
        repeat_ = header;
      }
      ++block_requests_;
    }
    return SendHeader(header, Describe(code, arg));
  }

  // Waits for `count` bytes of an answer and takes them.
  bool ReadAnswer(size_t count, const std::string& what, std::vector<uint8_t>& out) {
    std::function<Wait()> repeat;
    int repeats = 0;
    if (!repeat_.empty()) {
      repeat = [this, &repeats] {
        ++repeats;
        return line_.Write(WithNoise(repeat_), AnswerTimeout());
      };
    }
    Wait w = line_.Fill(count, AnswerTimeout(), repeat);
    if (!repeat_.empty()) {
      Log("repeated the request " + std::to_string(repeats) + " times before " + what + " began");
      repeat_.clear();
    }
    if (!FailWait(w, what, o_.answerTimeoutMs)) {
      return false;
    }
    out = line_.Take(count);
    return true;
  }

  // A 12-byte header from the tool, its marks checked.
  bool ReadPcHeader(const std::string& what, PcHeader& out) {
    std::vector<uint8_t> b;
    if (!ReadAnswer(kHeaderSize, what, b)) {
      return false;
    }
    char bytes[8];
    if (b[0] != 0xFD || b[1] != 0xC9) {
      std::snprintf(bytes, sizeof bytes, "%02X %02X", b[0], b[1]);
      return Fail(what + " starts with " + bytes + ", not FD C9");
    }
    if (b[10] != 0x8D || b[11] != 0xC5) {
      std::snprintf(bytes, sizeof bytes, "%02X %02X", b[10], b[11]);
      return Fail(what + " ends with " + bytes + ", not 8D C5");
    }
    out = DecodePc(b);
    return true;
  }

  bool Expect(const std::string& what, const char* field, uint32_t got, uint32_t want) {
    if (got == want) {
      return true;
    }
    return Fail(what + " carries " + field + " " + Hex(got) + ", expected " + Hex(want));
  }

  bool ReadAnnouncement() {
    int timeout = o_.announcementTimeoutMs < 0    ? AnswerTimeout()
                  : o_.announcementTimeoutMs == 0 ? -1
                                                  : o_.announcementTimeoutMs;
    const std::string what = "the announcement";
    if (!FailWait(line_.Fill(kAnnouncementSize, timeout), what, timeout)) {
      return false;
    }
    std::vector<uint8_t> b = line_.Take(kAnnouncementSize);
    auto word = [&](size_t at) { return static_cast<uint32_t>(b[at] | (b[at + 1] << 8)); };
    uint32_t rawSize = word(16) | (word(18) << 16);
    r_.announcedCode = static_cast<uint16_t>(word(2));
    r_.announcedSize = static_cast<int32_t>(rawSize);

    // The fixed words of the announcement, by offset, in the order they arrive.
    struct Field {
      size_t at;
      uint32_t want;
      const char* name;
    };
    const Field fields[] = {
        {0, HEADER_START_MARK, "start mark"},
        {4, 1, "argument"},
        {6, 12, "body length"},
        {8, 0, "second value word"},
        {10, HEADER_END_MARK, "end mark"},
        {12, BODY_START_MARK, "body start mark"},
        {14, 0, "reserved word at offset 14"},
        {20, BODY_END_MARK, "body end mark"},
        {22, 0, "reserved word at offset 22"},
    };
    for (const Field& f : fields) {
      if (!Expect(what, f.name, word(f.at), f.want)) {
        return false;
      }
    }
    if (!TransferCodeFor(r_.announcedCode)) {
      return Fail("the announcement carries the code " + Hex(r_.announcedCode) +
                  ", none of 0x1004, 0x1006, 0x1040, 0x1042");
    }
    if (r_.announcedSize < 0) {
      return Fail("the announcement carries the size " + std::to_string(r_.announcedSize) +
                  ", which is negative");
    }
    Log("announcement: " + Hex(r_.announcedCode) + " (" + KindOf(r_.announcedCode) + "), " +
        std::to_string(r_.announcedSize) + " bytes");
    return true;
  }

  bool StaySilent() {
    Log("silent: answering nothing");
    Wait w = line_.Fill(SIZE_MAX, AnswerTimeout());
    size_t ignored = line_.Take(SIZE_MAX).size();
    if (w == Wait::kFailed) {
      return Fail(line_.error());
    }
    Log("silent run over (" +
        std::string(w == Wait::kGone      ? "the tool hung up"
                    : w == Wait::kStopped ? "stopped"
                                          : "time is up") +
        "), " + std::to_string(ignored) + " bytes ignored");
    return true;
  }

  bool UpgradeQuery() {
    const std::string what = "the reply to 0x1001";
    PcHeader h;
    if (!SendRequest(CODE_UPGRADE_QUERY, 0, false) || !ReadPcHeader(what, h)) {
      return false;
    }
    if (!Expect(what, "the code", h.code, CODE_UPGRADE_B) ||
        !Expect(what, "the argument", h.arg, 0) || !Expect(what, "the first value", h.data1, 0) ||
        !Expect(what, "the second value", h.data2, 0)) {
      return false;
    }
    Log("0x1001 answered: 0x1004");
    return true;
  }

  bool SizeQuery() {
    const std::string what = "the reply to 0x1011";
    PcHeader h;
    if (!SendRequest(CODE_SIZE_QUERY, 0, false) || !ReadPcHeader(what, h)) {
      return false;
    }
    if (!Expect(what, "the code", h.code, CODE_UPGRADE_F) ||
        !Expect(what, "the argument", h.arg, 0)) {
      return false;
    }
    int32_t size = static_cast<int32_t>(h.data1 | (static_cast<uint32_t>(h.data2) << 16));
    if (size != r_.announcedSize) {
      return Fail(what + " carries the size " + std::to_string(size) + ", announced " +
                  std::to_string(r_.announcedSize));
    }
    Log("0x1011 answered: 0x1006, size " + std::to_string(size));
    return true;
  }

  std::string Where(size_t pos) const {
    return "block " + std::to_string(pos) + " at " +
           Hex(static_cast<uint32_t>(pos * BLOCK_SIZE), 6);
  }

  // Asks for a block and reads the tool's answer: a header with the block's CRC and the 8192 bytes,
  // or a blank header alone.
  bool AskBlock(uint16_t code, uint16_t arg, size_t pos, Block& out) {
    if (arg == ARG_RESEND) {
      ++r_.resendsAsked;
    }
    const std::string what = "the answer to " + Describe(code, arg) + " (" + Where(pos) + ")";
    PcHeader h;
    if (!SendRequest(code, arg, true) || !ReadPcHeader(what, h)) {
      return false;
    }
    if (!Expect(what, "the code", h.code, CODE_BLOCK)) {
      return false;
    }
    out = Block{};
    if (h.arg == 1) {
      if (h.data1 != 0 || h.data2 != 0) {
        return Fail(what + " is a blank header with the values " + Hex(h.data1) + ", " +
                    Hex(h.data2) + ", expected 0, 0");
      }
      out.blank = true;
      Log(Describe(code, arg) + " answered: " + Where(pos) + ", blank");
      return true;
    }
    if (h.arg != 0) {
      return Fail(what + " carries the argument " + Hex(h.arg) +
                  ", neither 0 (data) nor 1 (blank)");
    }
    out.crc = (static_cast<uint32_t>(h.data1) << 16) | h.data2;
    if (r_.blocks == o_.vanishMidBlock) {
      // Half the block, then the line goes: the tool is in the middle of writing it.
      if (!ReadAnswer(BLOCK_SIZE / 2, "the first half of " + Where(pos), out.data)) {
        return false;
      }
      return Vanish();
    }
    if (!ReadAnswer(BLOCK_SIZE, "the data of " + Where(pos), out.data)) {
      return false;
    }
    Log(Describe(code, arg) + " answered: " + Where(pos) + ", crc " + Hex(out.crc, 8));
    return true;
  }

  bool CrcMatches(Block& b, size_t pos, bool corrupt) {
    if (b.blank) {
      return true;
    }
    if (corrupt) {
      b.data[pos % BLOCK_SIZE] ^= 0x5A;
      Log(Where(pos) + ": corrupted one byte of it, as asked");
    }
    uint32_t own = Crc32(b.data.data(), BLOCK_SIZE);
    if (own == b.crc) {
      return true;
    }
    Log(Where(pos) + ": its header says crc " + Hex(b.crc, 8) + ", its data give " + Hex(own, 8));
    return false;
  }

  bool Vanish() {
    Log("closing the line after " + std::to_string(r_.blocks) + " blocks, as asked");
    ReleaseKeptSlave(fd_);
    // The descriptor stays the caller's: /dev/null takes its place, the line itself is closed.
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0 || dup2(null, fd_) < 0) {
      Fail("closing the line: " + SystemReason());
    }
    if (null >= 0) {
      close(null);
    }
    return Fail("the box closed the line after " + std::to_string(r_.blocks) + " blocks, as asked");
  }

  bool Transfer() {
    const uint16_t code = o_.transferCode.value_or(*TransferCodeFor(r_.announcedCode));
    const uint32_t size = static_cast<uint32_t>(r_.announcedSize);
    r_.transferCode = code;
    plan_ = PlanFor(code, size);
    const size_t first = plan_.firstOffset / BLOCK_SIZE;
    const size_t end = std::max<size_t>((size + BLOCK_SIZE - 1) / BLOCK_SIZE, first + 1);
    image_.assign(end * BLOCK_SIZE, 0xFF);
    Log("transfer " + Hex(code) + ": blocks " + std::to_string(first) + " to " +
        std::to_string(end - 1) + ", final crc over " + Hex(plan_.crcLength, 6) + " bytes from " +
        Hex(plan_.crcBegin, 6));

    int dataBlocks = 0;
    for (size_t pos = first; pos < end; ++pos) {
      if (r_.blocks == o_.vanishAfterBlocks) {
        return Vanish();
      }
      Block b;
      if (!AskBlock(pos == first ? code : CODE_NEXT_BLOCK, 0, pos, b)) {
        return false;
      }
      bool corrupt = !b.blank && o_.corruptEvery > 0 && ++dataBlocks % o_.corruptEvery == 0;
      for (int resends = 0; !CrcMatches(b, pos, corrupt); ++resends) {
        if (resends == kMaxResendsPerBlock) {
          return Fail(Where(pos) + " still fails its CRC after " +
                      std::to_string(kMaxResendsPerBlock) + " requests to send it again");
        }
        corrupt = false;
        if (!AskBlock(CODE_NEXT_BLOCK, ARG_RESEND, pos, b)) {
          return false;
        }
      }
      if (!b.blank &&
          std::all_of(b.data.begin(), b.data.end(), [](uint8_t x) { return x == 0xFF; })) {
        return Fail(Where(pos) + " is all 0xFF but came as data, not as a blank header");
      }
      std::copy(b.data.begin(), b.data.end(),
                image_.begin() + static_cast<ptrdiff_t>(pos * BLOCK_SIZE));
      ++r_.blocks;
      r_.blanks += b.blank ? 1 : 0;
      if (o_.resendEvery > 0 && r_.blocks % o_.resendEvery == 0) {
        Block again;
        if (!AskBlock(CODE_NEXT_BLOCK, ARG_RESEND, pos, again)) {
          return false;
        }
        if (again.blank != b.blank || again.crc != b.crc || again.data != b.data) {
          return Fail(Where(pos) + " came back different when asked for again");
        }
      }
    }
    if (r_.blocks == o_.vanishAfterBlocks) {
      return Vanish();
    }
    return true;
  }

  bool FinalCrc() {
    const std::string what = "the reply to 0x1023";
    PcHeader h;
    if (!SendRequest(CODE_TRANSFER_DONE, 0, false) || !ReadPcHeader(what, h)) {
      return false;
    }
    if (!Expect(what, "the code", h.code, CODE_CRC) || !Expect(what, "the argument", h.arg, 0)) {
      return false;
    }
    r_.receivedCrc = (static_cast<uint32_t>(h.data1) << 16) | h.data2;
    const uint32_t size = static_cast<uint32_t>(r_.announcedSize);
    if (static_cast<uint64_t>(plan_.crcBegin) + plan_.crcLength > size) {
      return Fail("the image of " + std::to_string(size) + " bytes is shorter than the " +
                  Hex(plan_.crcLength, 6) + " bytes from " + Hex(plan_.crcBegin, 6) +
                  " that the final CRC of " + Hex(r_.transferCode) + " covers");
    }
    r_.expectedCrc = Crc32(image_.data() + plan_.crcBegin, plan_.crcLength);
    Log("0x1023 answered: crc " + Hex(r_.receivedCrc, 8) + ", own " + Hex(r_.expectedCrc, 8));
    if (r_.receivedCrc != r_.expectedCrc) {
      return Fail("the final CRC " + Hex(r_.receivedCrc, 8) + " differs from the box's own " +
                  Hex(r_.expectedCrc, 8) + " over the image received");
    }
    return CheckPreparation();
  }

  // What the preparation leaves in the blocks beyond the file's own bytes (only where blocks came).
  bool CheckPreparation() {
    const size_t size = static_cast<size_t>(r_.announcedSize);
    auto check = [&](size_t from, size_t to, uint8_t want, const char* what) {
      for (size_t at = std::max<size_t>(from, plan_.firstOffset); at < to; ++at) {
        if (image_[at] != want) {
          return Fail(std::string(what) + " holds " + Hex(image_[at], 2) + " at offset " +
                      Hex(static_cast<uint32_t>(at), 6) + ", expected " + Hex(want, 2));
        }
      }
      return true;
    };
    if (plan_.headRemoved && size >= 68 &&
        !check(size - 68, size, 0xFF, "the room of the file's head and CRC trailer")) {
      return false;
    }
    return check(size, image_.size(), plan_.fill, "the padding after the image");
  }

  int fd_;
  const BoxOptions& o_;
  Line line_;
  BoxResult r_;
  Plan plan_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> repeat_;  // the request to repeat while the tool recovers from a bad header
  int block_requests_ = 0;
  uint32_t noise_ = 0x2545F491u;
};

}  // namespace

BoxResult RunBox(int fd, const BoxOptions& options, std::stop_token stop) {
  return Box(fd, options, std::move(stop)).Run();
}

}  // namespace wick::sim
