// Whole upgrade runs over real pseudo-terminals at the real pacing: the protocol client with its
// receive thread on one side, the simulated box on the other.
#include <cerrno>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "protocol/upgrade_session.h"
#include "sim/sim_box.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/images.h"

namespace wick {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

constexpr size_t kBlock = test::kImageBlock;
using test::DataBlocks;
using test::ExpectedTav;
using test::TavImage;

struct RunOutcome {
  sim::BoxResult box;
  std::vector<EngineEvent> events;
  std::vector<int> lineStates;
  bool started = false;
  std::string startError;
};

// One upgrade run: a box on a pseudo-terminal, a session on a protocol thread connected to it.
RunOutcome RunUpgrade(const Bytes& file, int32_t mode, sim::BoxOptions options,
                      std::chrono::seconds limit = 60s) {
  RunOutcome out;
  sim::BoxPty pty;
  EXPECT_TRUE(pty.ok()) << pty.error();
  test::TempDir dir;
  std::string path = dir.Write(mode == kModeModule    ? "image.exx"
                               : mode == kModeChannel ? "image.tvu"
                                                      : "image.tav",
                               file);
  options.answerTimeoutMs = 5000;

  std::stop_source stopBox;
  auto box = std::async(std::launch::async,
                        [&] { return sim::RunBox(pty.master(), options, stopBox.get_token()); });

  std::mutex mu;
  ProtocolThread protocol;
  {
    UpgradeSession session(protocol.Queue());
    protocol.Queue().Send([&] {
      session.onEvent = [&](const EngineEvent& e) {
        std::lock_guard lock(mu);
        out.events.push_back(e);
      };
      session.onLineState = [&](int error) {
        std::lock_guard lock(mu);
        out.lineStates.push_back(error);
      };
      EXPECT_TRUE(session.Connect(pty.slavePath()));
      out.started = session.StartUpgrade(path, mode, out.startError);
    });
    if (box.wait_for(limit) != std::future_status::ready) {
      ADD_FAILURE() << "the run did not end within " << limit.count() << " s";
      stopBox.request_stop();
    }
    out.box = box.get();
    // A moment for the engine to take the box's last answer in before the line goes.
    std::this_thread::sleep_for(100ms);
  }
  return out;
}

bool Has(const std::vector<EngineEvent>& events, EngineEvent::Kind kind) {
  return std::any_of(events.begin(), events.end(),
                     [kind](const EngineEvent& e) { return e.kind == kind; });
}

struct KindCase {
  const char* what;
  int32_t mode;
  Bytes file;
  Bytes expected;
  uint16_t transferCode;
  int blanks;  // at least
};

class EachKind : public ::testing::TestWithParam<int> {};

TEST_P(EachKind, TheBoxReceivesExactlyTheExpectedImage) {
  static const Bytes bootPayload = DataBlocks(2 * kBlock, {0}, 1);         // one data, one blank
  static const Bytes firmwarePayload = DataBlocks(0x1A0000, {16, 18}, 2);  // from 0x20000
  static const Bytes module = DataBlocks(0x40000, {0}, 3);                 // head included
  static const Bytes channel = DataBlocks(2 * kBlock + 1808, {0, 2}, 4);   // short last block
  const KindCase cases[] = {
      {"boot loader and firmware", kModeBootAndFirmware, TavImage(bootPayload),
       ExpectedTav(bootPayload, 0), 0x1005, 2},
      {"firmware", kModeFirmware, TavImage(firmwarePayload), ExpectedTav(firmwarePayload, 0x20000),
       0x1007, 100},
      {"module", kModeModule, module, module, 0x1041, 30},
      {"channel data", kModeChannel, channel, channel, 0x1043, 1},
  };
  const KindCase& c = cases[GetParam()];
  SCOPED_TRACE(c.what);
  sim::BoxOptions options;
  // The channel run also shows a resend that the box asks for.
  options.resendEvery = c.mode == kModeChannel ? 2 : 0;
  RunOutcome run = RunUpgrade(c.file, c.mode, options, 120s);
  ASSERT_TRUE(run.started) << run.startError;
  EXPECT_TRUE(run.box.ok) << run.box.failure;
  EXPECT_EQ(run.box.transferCode, c.transferCode);
  EXPECT_EQ(run.box.announcedSize, static_cast<int32_t>(c.file.size()));
  EXPECT_EQ(run.box.image, c.expected);
  EXPECT_GE(run.box.blanks, c.blanks);
  EXPECT_EQ(run.box.receivedCrc, run.box.expectedCrc);
  if (c.mode == kModeChannel) {
    EXPECT_GE(run.box.resendsAsked, 1);
  }
  EXPECT_TRUE(Has(run.events, EngineEvent::kUpgradeDone));
}

INSTANTIATE_TEST_SUITE_P(Upgrade, EachKind, ::testing::Range(0, 4));

// --- The box's faults --------------------------------------------------------------------------

class Faults : public ::testing::Test {
 protected:
  const Bytes channel = DataBlocks(3 * kBlock, {0, 2}, 9);
};

TEST_F(Faults, NoiseBadHeadersAndCorruptedBlocksAreRecoveredFrom) {
  const struct {
    const char* what;
    sim::BoxOptions options;
    int resendsAtLeast;
  } cases[] = {
      {"noise between headers", {.noiseBytes = 5}, 0},
      {"a header with a wrong end mark", {.badHeaderAtBlock = 1}, 0},
      {"every data block corrupted once", {.corruptEvery = 1}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RunOutcome run = RunUpgrade(channel, kModeChannel, c.options);
    EXPECT_TRUE(run.box.ok) << run.box.failure;
    EXPECT_EQ(run.box.image, channel);
    EXPECT_GE(run.box.resendsAsked, c.resendsAtLeast);
  }
}

TEST_F(Faults, ABoxThatVanishesEndsTheRunWithoutAHangAndTheLossIsReported) {
  sim::BoxOptions options;
  options.vanishAfterBlocks = 1;
  auto start = std::chrono::steady_clock::now();
  RunOutcome run = RunUpgrade(channel, kModeChannel, options);
  EXPECT_FALSE(run.box.ok);
  EXPECT_FALSE(Has(run.events, EngineEvent::kUpgradeDone));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

TEST_F(Faults, ASilentBoxLeavesTheRunWaitingAndTheSessionEndsCleanly) {
  sim::BoxOptions options;
  options.silent = true;
  RunOutcome run = RunUpgrade(channel, kModeChannel, options);
  EXPECT_TRUE(run.started);
  EXPECT_TRUE(run.events.empty());
}

TEST(Refusal, ABadTrailerSendsNoBlockAndTheBoxGetsNoImage) {
  Bytes file = TavImage(DataBlocks(2 * kBlock, {0}, 5));
  file[70] ^= 0x40;
  sim::BoxOptions options;
  RunOutcome run = RunUpgrade(file, kModeBootAndFirmware, options);
  EXPECT_FALSE(run.box.ok);
  EXPECT_EQ(run.box.blocks, 0);
  ASSERT_TRUE(Has(run.events, EngineEvent::kTransferRefused));
}

}  // namespace
}  // namespace wick
