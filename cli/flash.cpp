#include "cli/flash.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "cli/image_plan.h"
#include "cli/kinds.h"
#include "platform/port_names.h"
#include "protocol/upgrade_session.h"
#include "util/log_writer.h"

namespace wick::cli {

namespace {

std::atomic<int> g_stopSignal{0};

void OnStopSignal(int signo) {
  g_stopSignal.store(signo);
}

// The last reply must reach the box before the close purges the port's queues.
constexpr auto kLingerAfterDone = std::chrono::milliseconds(200);

// The port as the user named it, with the device it stands for when that differs.
std::string PortTitle(const std::string& port) {
  std::string device = platform::DevicePathForPort(port);
  return device == port ? port : port + " (" + device + ")";
}

std::string OpenFailure(const std::string& port, int error) {
  std::string text = "cannot open " + PortTitle(port) + ": " +
                     (error != 0 ? std::strerror(error) : "not a serial port");
  switch (error) {
    case EACCES:
    case EPERM:
      text +=
          "; add yourself to the 'dialout' group (sudo usermod -aG dialout $USER) and log in "
          "again";
      break;
    case EBUSY:
      text += "; the port is in use by another program";
      break;
    case ENOTTY:
      text = "cannot open " + PortTitle(port) + ": not a serial port";
      break;
    default:
      break;
  }
  return text;
}

int FlashOnePort(const FlashOptions& options, const std::string& port) {
  const Kind& kind = KindOfMode(options.mode);
  ProgressStyle style = StyleFor(options.progress);

  // The image first: a file that cannot be used never reaches the box.
  std::string error;
  std::vector<uint8_t> file;
  std::string image = std::filesystem::absolute(options.image).lexically_normal().string();
  Reporter report(style, port, 0);
  if (!ReadImage(image, file, error)) {
    report.Failed(kExitImage, "cannot use the image " + error);
    return kExitImage;
  }
  TransferPlan plan = PlanTransfer(kind.transferCode, file);
  if (!plan.ok) {
    report.Failed(kExitImage, "cannot use the image " + image + " for a " + kind.title +
                                  " upgrade: " + plan.reason);
    return kExitImage;
  }
  report = Reporter(style, port, static_cast<int64_t>(file.size()));
  file.clear();
  file.shrink_to_fit();

  TaskQueue queue;
  UpgradeSession session(queue);
  const int verbosity = options.verbosity;
  const std::string logDir = options.logDir;
  session.Client().SetTraceSink([&report, verbosity, logDir, port](int level, const char* text) {
    if (verbosity >= 2 || (verbosity == 1 && level <= 1)) {
      report.Message(port + ": " + text);
    }
    if (!logDir.empty()) {
      WriteLog(logDir.c_str(), "wickflash",
               (port + ": [" + std::to_string(level) + "] " + text).c_str(), 0, 1);
    }
  });

  enum class End { kRunning, kDone, kRefused, kLineLost };
  End end = End::kRunning;
  std::string reason;
  uint32_t finalCrc = 0;
  auto lastHeard = std::chrono::steady_clock::now();
  session.onProgress = [&](int32_t) { lastHeard = std::chrono::steady_clock::now(); };
  session.onEvent = [&](const EngineEvent& e) {
    report.Event(e);
    if (e.kind == EngineEvent::kUpgradeDone) {
      end = End::kDone;
      finalCrc = e.crc;
    } else if (e.kind == EngineEvent::kTransferRefused && end == End::kRunning) {
      end = End::kRefused;
      reason = e.reason;
    }
  };
  session.onLineState = [&](int err) {
    if (err != 0 && end == End::kRunning) {
      end = End::kLineLost;
      reason = std::strerror(err);
    }
  };

  if (!session.Connect(port)) {
    report.Failed(kExitPort, OpenFailure(port, session.Client().LastError()));
    return kExitPort;
  }
  if (verbosity > 0) {
    report.Message(PortTitle(port) + ": connected at 115200 baud, 8N1; " + kind.title +
                   " upgrade of " + image + ", about " + FormatDuration(plan.seconds));
  }
  if (!session.StartUpgrade(image, kind.mode, error)) {
    report.Failed(kExitImage, "cannot start the upgrade: " + error);
    return kExitImage;
  }
  lastHeard = std::chrono::steady_clock::now();
  const auto silence = std::chrono::duration<double>(options.silenceSeconds);

  while (end == End::kRunning) {
    queue.RunOne(std::chrono::milliseconds(50));
    report.Tick();
    if (g_stopSignal.load() != 0) {
      session.Client().Close();  // drops DTR
      report.Failed(kExitInterrupted,
                    port + ": interrupted at block " + std::to_string(report.blocksDone()) +
                        " of " + std::to_string(report.blocks()) + " (offset " +
                        std::to_string(report.offset()) + "); the box has not got the whole image");
      return kExitInterrupted;
    }
    if (std::chrono::steady_clock::now() - lastHeard > silence) {
      report.Failed(kExitLine, port + ": the box went silent for " +
                                   FormatDuration(options.silenceSeconds) + " (at block " +
                                   std::to_string(report.blocksDone()) + " of " +
                                   std::to_string(report.blocks()) + ")");
      return kExitLine;
    }
  }
  switch (end) {
    case End::kDone: {
      auto until = std::chrono::steady_clock::now() + kLingerAfterDone;
      while (std::chrono::steady_clock::now() < until) {
        queue.RunOne(std::chrono::milliseconds(20));
      }
      report.Done(finalCrc);
      return kExitOk;
    }
    case End::kRefused:
      report.Failed(kExitImage, port + ": the upgrade stopped: " + reason);
      return kExitImage;
    default:
      report.Failed(kExitLine, port + ": the line to the box was lost (" + reason + ") at block " +
                                   std::to_string(report.blocksDone()) + " of " +
                                   std::to_string(report.blocks()));
      return kExitLine;
  }
}

}  // namespace

ProgressStyle StyleFor(const std::string& progress) {
  if (progress == "bar") {
    return ProgressStyle::kBar;
  }
  if (progress == "lines") {
    return ProgressStyle::kLines;
  }
  if (progress == "none") {
    return ProgressStyle::kNone;
  }
  return isatty(STDERR_FILENO) ? ProgressStyle::kBar : ProgressStyle::kLines;
}

int StopSignal() {
  return g_stopSignal.load();
}

void InstallStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

int RunFlash(const FlashOptions& options, const std::string& self) {
  if (options.ports.size() == 1) {
    return FlashOnePort(options, options.ports.front());
  }
  return RunFlashOnPorts(options, self);
}

}  // namespace wick::cli
