#include "sim/fault_runs.h"

#include <unistd.h>
#include <chrono>

#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "platform/scaled_clock.h"
#include "protocol/image_prep.h"
#include "protocol/upgrade_session.h"
#include "sim/sim_box.h"
#include "util/crc32.h"

namespace wick::sim {

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr size_t kBlock = 8192;

struct Plan {
  int32_t mode = kModeChannel;
  Bytes file;
  Bytes expected;  // what the box must end up with
  bool badTrailer = false;
  BoxOptions box;
  std::string faults;  // in words, for the log
};

Bytes RandomBlocks(std::mt19937& rng, size_t bytes, double dataShare) {
  Bytes out(bytes, 0xFF);
  std::bernoulli_distribution data(dataShare);
  for (size_t at = 0; at < bytes; at += kBlock) {
    if (data(rng)) {
      for (size_t i = at; i < std::min(bytes, at + kBlock); ++i) {
        out[i] = static_cast<uint8_t>(rng());
      }
    }
  }
  return out;
}

Plan MakePlan(std::mt19937& rng) {
  Plan p;
  std::uniform_int_distribution<int> pick(0, 99);
  const int kind = pick(rng) % 4;
  p.mode = kind == 0   ? kModeFirmware
           : kind == 1 ? kModeBootAndFirmware
           : kind == 2 ? kModeModule
                       : kModeChannel;
  const size_t extra = static_cast<size_t>(pick(rng)) * 37;
  if (p.mode == kModeFirmware || p.mode == kModeBootAndFirmware) {
    // A firmware image must reach past its checksum region; mostly blank keeps the run short.
    size_t payload =
        p.mode == kModeFirmware ? 0x1A0000 + extra : kBlock * (1 + pick(rng) % 4) + extra;
    Bytes body = RandomBlocks(rng, 64 + payload, p.mode == kModeFirmware ? 0.02 : 0.6);
    uint32_t crc = Crc32(body.data(), static_cast<uint32_t>(body.size()));
    p.file = body;
    for (int i = 0; i < 4; ++i) {
      p.file.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    }
    p.badTrailer = pick(rng) < 8;
    if (p.badTrailer) {
      p.file[p.file.size() / 2] ^= 0x10;
    }
    p.expected.assign(body.begin() + 64, body.end());
    p.expected.insert(p.expected.end(), 68, 0xFF);
    if (p.mode == kModeFirmware) {
      std::fill(p.expected.begin(), p.expected.begin() + FIRMWARE_START, 0xFF);
    }
  } else {
    size_t size =
        p.mode == kModeModule ? MODULE_CRC_SIZE + extra : kBlock * (pick(rng) % 4) + extra;
    p.file = RandomBlocks(rng, size, p.mode == kModeModule ? 0.05 : 0.6);
    p.expected = p.file;
  }

  // Faults: each alone or together.
  auto chance = [&](int percent) { return pick(rng) < percent; };
  auto add = [&](const std::string& what) { p.faults += (p.faults.empty() ? "" : ", ") + what; };
  if (chance(30)) {
    p.box.noiseBytes = 1 + pick(rng) % 8;
    add("noise " + std::to_string(p.box.noiseBytes));
  }
  if (chance(15)) {
    p.box.badHeaderAtBlock = pick(rng) % 3;
    add("bad header at " + std::to_string(p.box.badHeaderAtBlock));
  }
  if (chance(20)) {
    p.box.resendEvery = 1 + pick(rng) % 3;
    add("resend every " + std::to_string(p.box.resendEvery));
  }
  if (chance(20)) {
    p.box.corruptEvery = 1 + pick(rng) % 3;
    add("corrupt every " + std::to_string(p.box.corruptEvery));
  }
  if (chance(12)) {
    p.box.vanishAfterBlocks = pick(rng) % 3;
    add("vanish after " + std::to_string(p.box.vanishAfterBlocks));
  }
  if (chance(6)) {
    p.box.vanishMidBlock = pick(rng) % 3;
    add("unplugged in block " + std::to_string(p.box.vanishMidBlock));
  }
  if (chance(6)) {
    p.box.silent = true;
    add("silent");
  }
  if (chance(8)) {
    p.box.floodAtBlock = pick(rng) % 3;
    add("flood of 100 KB at " + std::to_string(p.box.floodAtBlock));
  }
  if (p.badTrailer) {
    add("bad trailer");
  }
  if (p.faults.empty()) {
    p.faults = "none";
  }
  return p;
}

enum class ToolEnd { kRunning, kDone, kRefused, kLineLost, kSilent, kNotStarted };

const char* Words(ToolEnd e) {
  switch (e) {
    case ToolEnd::kDone:
      return "done";
    case ToolEnd::kRefused:
      return "image refused";
    case ToolEnd::kLineLost:
      return "line lost";
    case ToolEnd::kSilent:
      return "box went silent";
    case ToolEnd::kNotStarted:
      return "not started";
    default:
      return "still running";
  }
}

}  // namespace

FaultRunCounts RunFaultRuns(const FaultRunOptions& options) {
  FaultRunCounts counts;
  std::mt19937 rng(options.seed);
  platform::ScaledClock clock(options.pacing);
  // The tool gives up on a silent box after this long, as wickflash-cli does with -t.
  const auto silence = std::chrono::milliseconds(3000);

  for (int run = 0; run < options.runs; ++run) {
    Plan plan = MakePlan(rng);
    plan.box.answerTimeoutMs = 3000;
    plan.box.announcementTimeoutMs = 5000;
    ++counts.runs;

    BoxPty pty;
    char path[] = "/tmp/wickfault-XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0) {
      [[maybe_unused]] ssize_t w = write(fd, plan.file.data(), plan.file.size());
      close(fd);
    }
    std::stop_source stopBox;
    auto box = std::async(std::launch::async,
                          [&] { return RunBox(pty.master(), plan.box, stopBox.get_token()); });

    std::mutex mu;
    ToolEnd end = ToolEnd::kRunning;
    auto lastHeard = Clock::now();
    bool hung = false;
    {
      ProtocolThread protocol;
      UpgradeSession session(protocol.Queue(), platform::SystemSerialDevices(), clock);
      protocol.Queue().Send([&] {
        session.onProgress = [&](int32_t) {
          std::lock_guard lock(mu);
          lastHeard = Clock::now();
        };
        session.onEvent = [&](const EngineEvent& e) {
          std::lock_guard lock(mu);
          if (end != ToolEnd::kRunning) {
            return;
          }
          if (e.kind == EngineEvent::kUpgradeDone) {
            end = ToolEnd::kDone;
          } else if (e.kind == EngineEvent::kTransferRefused) {
            end = ToolEnd::kRefused;
          }
        };
        session.onLineState = [&](int error) {
          std::lock_guard lock(mu);
          if (error != 0 && end == ToolEnd::kRunning) {
            end = ToolEnd::kLineLost;
          }
        };
        std::string error;
        if (!session.Connect(pty.slavePath()) || !session.StartUpgrade(path, plan.mode, error)) {
          end = ToolEnd::kNotStarted;
        }
      });
      // The tool's side ends as wickflash-cli's does: done, refused, line lost, or silence.
      auto deadline = Clock::now() + std::chrono::milliseconds(options.runLimitMs);
      for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard lock(mu);
        if (end == ToolEnd::kRunning && Clock::now() - lastHeard > silence) {
          end = ToolEnd::kSilent;
        }
        if (end != ToolEnd::kRunning) {
          break;
        }
        if (Clock::now() > deadline) {
          hung = true;
          break;
        }
      }
      // The last reply must reach the box before the port closes.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (box.wait_for(std::chrono::milliseconds(options.runLimitMs)) != std::future_status::ready) {
      hung = true;
      stopBox.request_stop();
    }
    BoxResult result = box.get();
    std::remove(path);

    const bool imageRight = result.image == plan.expected;
    std::string verdict;
    if (hung) {
      ++counts.hung;
      verdict = "HUNG";
    } else if (end == ToolEnd::kDone && result.ok && imageRight) {
      ++counts.succeeded;
      verdict = "ok";
    } else if (end == ToolEnd::kDone || (result.ok && !plan.box.silent && !imageRight)) {
      // The tool reported success for a box that did not get the image, or the box accepted a
      // wrong one.
      ++counts.wrong;
      verdict = "WRONG (box: " + (result.ok ? std::string("ok") : result.failure) + ")";
    } else {
      ++counts.failedCleanly;
      ++counts.failures[Words(end)];
      verdict = std::string("failed cleanly: ") + Words(end);
    }
    if (options.log) {
      options.log("run " + std::to_string(run + 1) + ": mode " + std::to_string(plan.mode) + ", " +
                  std::to_string(plan.file.size()) + " bytes, faults: " + plan.faults + " -> " +
                  verdict);
    }
  }
  return counts;
}

}  // namespace wick::sim
