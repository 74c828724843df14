// The real wickflash-cli binary against the simulated box over pseudo-terminals.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/kinds.h"
#include "sim/sim_box.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/images.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"

namespace wick {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using ::testing::HasSubstr;

constexpr size_t kBlock = test::kImageBlock;
using test::DataBlocks;

std::vector<uint8_t> Tav(const std::vector<uint8_t>& payload) {
  return test::TavImage(payload);
}
std::vector<uint8_t> PreparedTav(const std::vector<uint8_t>& payload, size_t first) {
  return test::ExpectedTav(payload, first);
}

test::ProcessResult Cli(std::vector<std::string> args, test::ProcessOptions options = {}) {
  args.insert(args.begin(), WICKFLASH_CLI);
  return test::RunProcess(args, options);
}

// A box on its own pseudo-terminal, running in the background.
class Box {
 public:
  explicit Box(sim::BoxOptions options = {}) {
    EXPECT_TRUE(pty_.ok()) << pty_.error();
    options.answerTimeoutMs = 4000;
    result_ = std::async(std::launch::async, [this, options] {
      return sim::RunBox(pty_.master(), options, stop_.get_token());
    });
  }
  ~Box() { stop_.request_stop(); }
  const std::string& port() const { return pty_.slavePath(); }
  sim::BoxResult Result() {
    if (result_.wait_for(30s) != std::future_status::ready) {
      ADD_FAILURE() << "the box did not finish";
      stop_.request_stop();
    }
    return result_.get();
  }

 private:
  sim::BoxPty pty_;
  std::stop_source stop_;
  std::future<sim::BoxResult> result_;
};

class Flash : public ::testing::Test {
 protected:
  std::string Image(const std::string& name, const Bytes& bytes) { return dir.Write(name, bytes); }
  test::TempDir dir;
};

TEST_F(Flash, EachKindUpgradesTheBoxAndReportsEachBlock) {
  const Bytes boot = DataBlocks(2 * kBlock, {0}, 1);
  const Bytes firmware = DataBlocks(0x1A0000, {16}, 2);
  const Bytes module = DataBlocks(0x40000, {0, 1}, 3);
  const Bytes channel = DataBlocks(kBlock + 100, {0, 1}, 4);
  const struct {
    const char* kind;
    std::string file;
    Bytes expected;
  } cases[] = {
      {"bootloader", Image("b.tav", Tav(boot)), PreparedTav(boot, 0)},
      {"1", Image("f.tav", Tav(firmware)), PreparedTav(firmware, 0x20000)},
      {"module", Image("m.exx", module), module},
      {"channel", Image("c.tvu", channel), channel},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    Box box;
    auto run = Cli({"flash", "-p", box.port(), "-k", c.kind, "--progress", "lines", c.file},
                   {.limit = 90s});
    sim::BoxResult result = box.Result();
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(result.ok) << result.failure;
    EXPECT_EQ(result.image, c.expected);
    // One parseable line per block, then the end with the final CRC.
    std::regex block(
        "^block port=\\S+ n=\\d+ of=\\d+ offset=\\d+ type=(data|blank) resend=0 "
        "crc=0x[0-9a-f]{8} sent=\\d+ size=\\d+$");
    int lines = 0;
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);) {
      lines += std::regex_match(line, block) ? 1 : 0;
    }
    EXPECT_EQ(lines, result.blocks);
    char done[32];
    std::snprintf(done, sizeof done, "crc=0x%08x", result.expectedCrc);
    EXPECT_THAT(run.out, HasSubstr(std::string("done port=") + box.port() + " " + done));
    EXPECT_THAT(run.err, HasSubstr("done, "));
  }
}

TEST_F(Flash, TraceLinesGoToTheTerminalAndTheLogFolder) {
  std::string file = Image("c.tvu", DataBlocks(kBlock, {0}, 13));
  std::string logs = dir.path() + "/logs";
  Box box;
  auto run = Cli({"flash", "-p", box.port(), "-k", "channel", "-vv", "--log-dir", logs,
                  "--progress", "none", file});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(box.Result().ok);
  // -vv shows every level, the sent packets (level 5) included.
  EXPECT_THAT(run.err, HasSubstr(box.port() + " - Open Ok!"));
  EXPECT_THAT(run.err, HasSubstr("ex_Send[CRC]: 0xc9fd, 0xc58d, 0x1023"));
  EXPECT_TRUE(run.out.empty()) << "no progress lines with --progress none";
  // One file a day, "[wickflash]YYYYMMDD.log", every trace line stamped.
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(logs)) {
    files.push_back(entry.path());
  }
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(
      std::regex_match(files[0].filename().string(), std::regex("\\[wickflash\\]20[0-9]{6}\\.log")))
      << files[0];
  std::ifstream in(files[0]);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_THAT(text, HasSubstr("] " + box.port() + ": [0] " + box.port() + " - Open Ok!\r\n"));
  EXPECT_THAT(text, HasSubstr(": [5] ex_Send[UPGRADE]"));
}

TEST_F(Flash, SeveralPortsRunAtOnceAndTheSummaryNamesEach) {
  const Bytes channel = DataBlocks(2 * kBlock, {0}, 5);
  std::string file = Image("c.tvu", channel);
  Box a;
  Box b;
  sim::BoxOptions vanishing;
  vanishing.vanishAfterBlocks = 1;
  Box c(vanishing);
  auto start = std::chrono::steady_clock::now();
  auto run = Cli({"flash", "-p", a.port(), "-p", b.port(), "-p", c.port(), "-k", "channel", file},
                 {.limit = 60s});
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(a.Result().ok);
  EXPECT_TRUE(b.Result().ok);
  EXPECT_FALSE(c.Result().ok);
  EXPECT_EQ(run.exitCode, 4) << "the failing port's exit code\n" << run.err;
  EXPECT_THAT(run.out, HasSubstr("done port=" + a.port()));
  EXPECT_THAT(run.out, HasSubstr("done port=" + b.port()));
  EXPECT_THAT(run.out, HasSubstr("fail port=" + c.port() + " exit=4"));
  EXPECT_THAT(run.err, HasSubstr("result"));
  EXPECT_LT(took, 20s) << "the boxes ran side by side, not one after the other";
}

TEST_F(Flash, EveryWayARunEndsHasItsExitCodeAndMessage) {
  Bytes good = Tav(DataBlocks(kBlock, {0}, 6));
  Bytes bad = good;
  bad[80] ^= 1;
  std::string goodFile = Image("good.tav", good);
  std::string badFile = Image("bad.tav", bad);
  std::string shortFile = Image("short.exx", DataBlocks(1000, {0}, 7));

  test::Pty busy;
  int holder = open(busy.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(holder, LOCK_EX), 0);

  const struct {
    const char* what;
    std::vector<std::string> args;
    int exitCode;
    const char* message;
  } cases[] = {
      {"no port", {"flash", "-k", "firmware", goodFile}, 1, "--port is required"},
      {"unknown kind", {"flash", "-p", "COM1", "-k", "kernel", goodFile}, 1, "unknown kind"},
      {"missing device",
       {"flash", "-p", "/dev/wickflash-none", "-k", "bootloader", goodFile},
       2,
       "cannot open /dev/wickflash-none: No such file or directory"},
      {"a port in use",
       {"flash", "-p", busy.slavePath(), "-k", "bootloader", goodFile},
       2,
       "in use by another program"},
      {"missing image",
       {"flash", "-p", "COM1", "-k", "bootloader", dir.path() + "/none.tav"},
       3,
       "none.tav: No such file or directory"},
      {"bad trailer",
       {"flash", "-p", "COM1", "-k", "bootloader", badFile},
       3,
       "image CRC mismatch: stored 0x"},
      {"too short for its kind",
       {"flash", "-p", "COM1", "-k", "module", shortFile},
       3,
       "needs at least 262144"},
  };
  for (const auto& c : cases) {
    auto run = Cli(c.args, {.limit = 20s});
    EXPECT_EQ(run.exitCode, c.exitCode) << c.what << "\n" << run.err;
    EXPECT_THAT(run.err, HasSubstr(c.message)) << c.what;
  }
  close(holder);
}

TEST_F(Flash, ABoxThatGoesSilentOrVanishesEndsWithExitFour) {
  std::string file = Image("c.tvu", DataBlocks(3 * kBlock, {0, 1, 2}, 8));
  {
    sim::BoxOptions silent;
    silent.silent = true;
    Box box(silent);
    auto start = std::chrono::steady_clock::now();
    auto run = Cli({"flash", "-p", box.port(), "-k", "channel", "-t", "2", file});
    EXPECT_EQ(run.exitCode, 4) << run.err;
    EXPECT_THAT(run.err, HasSubstr("the box went silent for 0:02"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
  }
  {
    sim::BoxOptions vanishing;
    vanishing.vanishAfterBlocks = 1;
    Box box(vanishing);
    auto start = std::chrono::steady_clock::now();
    auto run = Cli({"flash", "-p", box.port(), "-k", "channel", file});
    EXPECT_EQ(run.exitCode, 4) << run.err;
    EXPECT_THAT(run.err, HasSubstr("the line to the box was lost"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s) << "noticed in seconds, not after -t";
  }
}

TEST_F(Flash, ALineUnpluggedMidBlockEndsWithExitFourWithinSeconds) {
  std::string file = Image("c.tvu", DataBlocks(4 * kBlock, {0, 1, 2, 3}, 12));
  sim::BoxOptions unplug;
  unplug.vanishMidBlock = 1;
  Box box(unplug);
  auto start = std::chrono::steady_clock::now();
  auto run = Cli({"flash", "-p", box.port(), "-k", "channel", file}, {.limit = 30s});
  EXPECT_EQ(run.exitCode, 4) << run.err;
  EXPECT_THAT(run.err, HasSubstr("the line to the box was lost"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_FALSE(box.Result().ok);
}

TEST_F(Flash, CtrlCClosesThePortAndSaysWhereTheRunStopped) {
  std::string file = Image("c.tvu", DataBlocks(6 * kBlock, {0, 1, 2, 3, 4, 5}, 9));
  Box box;
  bool sent = false;
  auto run = Cli({"flash", "-p", box.port(), "-k", "channel", "--progress", "lines", file},
                 {.limit = 30s, .onLine = [&](pid_t pid, const std::string& line) {
                    if (!sent && line.rfind("block ", 0) == 0) {
                      kill(pid, SIGINT);
                      sent = true;
                    }
                  }});
  EXPECT_EQ(run.exitCode, 130) << run.err;
  EXPECT_THAT(run.err, HasSubstr("interrupted at block 1 of 6"));
  // The port was closed: the box sees its line go.
  sim::BoxResult result = box.Result();
  EXPECT_FALSE(result.ok);
}

TEST(Info, DescribesAnImageAndRefusesABadOneForItsKind) {
  test::TempDir dir;
  Bytes good = Tav(DataBlocks(3 * kBlock, {0, 2}, 10));
  std::string goodFile = dir.Write("good.tav", good);
  Bytes bad = good;
  bad[100] ^= 1;
  std::string badFile = dir.Write("bad.tav", bad);

  auto run = Cli({"info", goodFile});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("size:     24644 bytes"));
  EXPECT_THAT(run.out, HasSubstr("kind:     firmware or bootloader (from the extension)"));
  EXPECT_THAT(run.out, HasSubstr("trailer:  ok"));
  // Three payload blocks and 68 bytes of 0xFF: four blocks, the second and the last blank.
  EXPECT_THAT(run.out, HasSubstr("bootloader 0x1005: prepared 32768 bytes, 4 blocks from offset "
                                 "0x0, 2 blank"));
  EXPECT_THAT(run.out, HasSubstr("firmware   0x1007: cannot be sent"));

  run = Cli({"info", "-k", "bootloader", badFile});
  EXPECT_EQ(run.exitCode, 3);
  EXPECT_THAT(run.out, HasSubstr("trailer:  MISMATCH, stored 0x"));

  run = Cli({"info", dir.path() + "/none.tvu"});
  EXPECT_EQ(run.exitCode, 3);
}

TEST(Ports, ListsWhatIsThereAndSucceedsWithNothing) {
  auto run = Cli({"ports"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_TRUE(!run.out.empty() || run.err.find("no serial devices found") != std::string::npos);
}

TEST(Kinds, NamesAndModeNumbersSelectTheSameKind) {
  for (const char* text : {"firmware", "1", "FIRMWARE"}) {
    ASSERT_NE(cli::FindKind(text), nullptr) << text;
    EXPECT_EQ(cli::FindKind(text)->requestCode, 0x1006) << text;
  }
  EXPECT_EQ(cli::FindKind("4")->transferCode, 0x1043);
  EXPECT_EQ(cli::FindKind("bootloader")->transferCode, 0x1005);
  EXPECT_EQ(cli::FindKind("5"), nullptr);
}

}  // namespace
}  // namespace wick
