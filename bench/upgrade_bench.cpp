// wickbench-upgrade: whole upgrades of generated channel images (0x1043) by wickflash-cli against
// wickbox over a pseudo-terminal, at the real pacing. It reports the time per block, data and
// blank blocks apart, against the time the protocol itself imposes on such a line; the CLI's CPU
// time during the runs and while it waits on a silent box; and its peak memory per image size.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "bench/child_process.h"

namespace wick::bench {
namespace {

constexpr size_t kBlockSize = 8192;

// What the protocol imposes per block on a pseudo-terminal, where bytes take no line time: the
// pauses of the protocol thread (1,090 ms for a data block, 10 ms for a blank one) plus the
// receive thread's read step that takes in the box's next request (51 ms).
constexpr double kModelDataMs = 1141;
constexpr double kModelBlankMs = 61;

struct Settings {
  std::string binDir;
  std::vector<std::string> sizes = {"64K", "1M", "8M"};
  int dataBlocks = 6;
  double idleSeconds = 10;
  bool keep = false;
};

struct RunResult {
  bool ok = false;
  std::string failure;
  size_t imageBytes = 0;
  int blocks = 0;
  int dataBlocks = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  int64_t maxRssKiB = 0;
  int64_t blocksRssKiB = 0;     // the most resident while blocks went out
  std::vector<double> dataMs;   // time from the previous block's line to a data block's line
  std::vector<double> blankMs;  // the same for blank blocks
};

double Ms(SteadyTime from, SteadyTime to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

bool ParseSize(const std::string& text, size_t& bytes) {
  char* end = nullptr;
  errno = 0;
  unsigned long long n = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str()) {
    return false;
  }
  std::string unit(end);
  if (unit == "K" || unit == "k") {
    n <<= 10;
  } else if (unit == "M" || unit == "m") {
    n <<= 20;
  } else if (!unit.empty()) {
    return false;
  }
  bytes = static_cast<size_t>(n);
  return bytes >= kBlockSize && bytes % kBlockSize == 0;
}

// A channel image of whole blocks: dataBlocks blocks of random bytes spread evenly over it, all
// others 0xFF, which the engine announces as blank instead of sending.
bool WriteImage(const std::string& path, size_t bytes, int dataBlocks, int& dataWritten) {
  const size_t blocks = bytes / kBlockSize;
  std::vector<uint8_t> image(bytes, 0xFF);
  std::mt19937 generator(static_cast<unsigned>(bytes));
  const auto data = std::min(blocks, static_cast<size_t>(std::max(dataBlocks, 0)));
  for (size_t k = 0; k < data; ++k) {
    size_t at = k * blocks / data * kBlockSize;
    for (size_t i = 0; i < kBlockSize; ++i) {
      image[at + i] = static_cast<uint8_t>(generator());
    }
  }
  dataWritten = static_cast<int>(data);
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(bytes));
  return static_cast<bool>(out);
}

// Starts wickbox on a new pseudo-terminal with the given extra options; its path on success.
bool StartBox(const Settings& settings, Child& box, const std::vector<std::string>& extra,
              const std::string& errorFile, std::string& pty, std::string& error) {
  std::vector<std::string> argv = {settings.binDir + "/wickbox", "--pty"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  if (!box.Start(argv, errorFile, error)) {
    return false;
  }
  bool timedOut = false;
  auto line = box.ReadLine(5000, timedOut);
  if (!line || line->text.empty()) {
    error = "wickbox printed no pseudo-terminal path";
    return false;
  }
  pty = line->text;
  return true;
}

// VmRSS of a running process, 0 when it is gone.
int64_t ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      int64_t kib = 0;
      in >> kib;
      return kib;
    }
    in.ignore(1 << 16, '\n');
  }
  return 0;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  return text;
}

RunResult RunUpgrade(const Settings& settings, const std::string& dir, size_t bytes) {
  RunResult result;
  result.imageBytes = bytes;
  const std::string name = std::to_string(bytes / 1024) + "k";
  const std::string image = dir + "/image-" + name + ".tvu";
  if (!WriteImage(image, bytes, settings.dataBlocks, result.dataBlocks)) {
    result.failure = "cannot write " + image;
    return result;
  }
  Child box;
  std::string pty;
  if (!StartBox(settings, box, {}, dir + "/box-" + name + ".err", pty, result.failure)) {
    return result;
  }
  Child cli;
  const std::string cliErrors = dir + "/cli-" + name + ".err";
  const auto started = std::chrono::steady_clock::now();
  if (!cli.Start({settings.binDir + "/wickflash-cli", "flash", "-p", pty, "-k", "channel",
                  "--progress", "lines", "-t", "30", image},
                 cliErrors, result.failure)) {
    return result;
  }
  // Each block line is printed once the block's answer has gone out: the time from one to the next
  // is one whole cycle of request and answer, and belongs to the later block.
  std::optional<SteadyTime> previous;
  bool done = false;
  bool timedOut = false;
  while (auto line = cli.ReadLine(30000, timedOut)) {
    const std::string& text = line->text;
    if (text.rfind("block ", 0) == 0) {
      if (text.find(" resend=0") == std::string::npos) {
        continue;
      }
      ++result.blocks;
      if (previous) {
        (text.find(" type=data") != std::string::npos ? result.dataMs : result.blankMs)
            .push_back(Ms(*previous, line->at));
      }
      previous = line->at;
      result.blocksRssKiB = std::max(result.blocksRssKiB, ResidentKiB(cli.pid()));
    } else if (text.rfind("done ", 0) == 0) {
      done = true;
    }
  }
  ChildEnd cliEnd = cli.Wait(timedOut ? 0 : 10000);
  result.seconds = Ms(started, std::chrono::steady_clock::now()) / 1000;
  ChildEnd boxEnd = box.Wait(10000);
  result.cpuSeconds = cliEnd.cpuSeconds;
  result.maxRssKiB = cliEnd.maxRssKiB;
  const int expectedBlocks = static_cast<int>(bytes / kBlockSize);
  if (!done || cliEnd.exitCode != 0 || boxEnd.exitCode != 0 || result.blocks != expectedBlocks) {
    result.failure = "run of " + name + " failed: wickflash-cli exit " +
                     std::to_string(cliEnd.exitCode) + ", wickbox exit " +
                     std::to_string(boxEnd.exitCode) + ", " + std::to_string(result.blocks) +
                     " of " + std::to_string(expectedBlocks) + " blocks; " + FileText(cliErrors) +
                     " " + FileText(dir + "/box-" + name + ".err");
    return result;
  }
  result.ok = true;
  return result;
}

struct IdleResult {
  bool ok = false;
  std::string failure;
  double seconds = 0;
  double cpuSeconds = 0;
};

// wickflash-cli connected to a box that read the announcement and stays silent: what the waiting
// costs. The window opens a second after the start, once the announcement has gone out.
IdleResult MeasureIdle(const Settings& settings, const std::string& dir) {
  IdleResult result;
  const std::string image = dir + "/image-idle.tvu";
  int written = 0;
  if (!WriteImage(image, 8 * kBlockSize, 1, written)) {
    result.failure = "cannot write " + image;
    return result;
  }
  Child box;
  std::string pty;
  const int boxTimeout = static_cast<int>(settings.idleSeconds) + 20;
  if (!StartBox(settings, box, {"--silent", "--timeout", std::to_string(boxTimeout)},
                dir + "/box-idle.err", pty, result.failure)) {
    return result;
  }
  Child cli;
  if (!cli.Start({settings.binDir + "/wickflash-cli", "flash", "-p", pty, "-k", "channel",
                  "--progress", "lines", "-t", std::to_string(boxTimeout + 30), image},
                 dir + "/cli-idle.err", result.failure)) {
    return result;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto from = std::chrono::steady_clock::now();
  auto cpuFrom = ProcessCpuSeconds(cli.pid());
  std::this_thread::sleep_for(std::chrono::duration<double>(settings.idleSeconds));
  auto cpuTo = ProcessCpuSeconds(cli.pid());
  result.seconds = Ms(from, std::chrono::steady_clock::now()) / 1000;
  cli.Signal(SIGTERM);
  ChildEnd cliEnd = cli.Wait(5000);
  box.Wait(5000);
  // 130: the CLI was interrupted and closed the port, as it does on SIGTERM.
  if (!cpuFrom || !cpuTo || cliEnd.exitCode != 130) {
    result.failure = "wickflash-cli did not stay connected and waiting (exit " +
                     std::to_string(cliEnd.exitCode) + "): " + FileText(dir + "/cli-idle.err");
    return result;
  }
  result.cpuSeconds = *cpuTo - *cpuFrom;
  result.ok = true;
  return result;
}

struct Stats {
  size_t count = 0;
  double mean = 0;
  double median = 0;
  double min = 0;
  double max = 0;
};

Stats Summarize(std::vector<double> values) {
  Stats s;
  s.count = values.size();
  if (values.empty()) {
    return s;
  }
  std::sort(values.begin(), values.end());
  s.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(s.count);
  s.median =
      s.count % 2 == 1 ? values[s.count / 2] : (values[s.count / 2 - 1] + values[s.count / 2]) / 2;
  s.min = values.front();
  s.max = values.back();
  return s;
}

std::string LoadAverage() {
  std::string text = FileText("/proc/loadavg");
  return text.substr(0, text.find(' ', text.find(' ', text.find(' ') + 1) + 1));
}

std::string OwnFolder() {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

int Run(const Settings& settings) {
  std::string templ = (std::filesystem::temp_directory_path() / "wickbench-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) {
    std::fprintf(stderr, "wickbench-upgrade: cannot make a temporary folder: %s\n",
                 std::strerror(errno));
    return 2;
  }
  const std::string dir = templ;
  std::printf("load average (1, 5, 15 min) at start: %s\n", LoadAverage().c_str());
  std::printf("programs: %s/wickflash-cli, %s/wickbox\n\n", settings.binDir.c_str(),
              settings.binDir.c_str());

  bool allOk = true;
  std::vector<RunResult> runs;
  std::vector<double> dataMs;
  std::vector<double> blankMs;
  std::printf("%-9s %7s %5s %6s %8s %9s %8s %11s %9s %10s\n", "image", "blocks", "data", "blank",
              "wall s", "model s", "cpu s", "cpu/wall %", "peak KiB", "blocks KiB");
  for (const std::string& text : settings.sizes) {
    size_t bytes = 0;
    if (!ParseSize(text, bytes)) {
      std::fprintf(stderr, "wickbench-upgrade: %s is no size of whole 8 KiB blocks\n",
                   text.c_str());
      return 1;
    }
    RunResult run = RunUpgrade(settings, dir, bytes);
    if (!run.ok) {
      std::printf("%-9s failed: %s\n", text.c_str(), run.failure.c_str());
      allOk = false;
      continue;
    }
    const int blanks = run.blocks - run.dataBlocks;
    std::printf("%-9s %7d %5d %6d %8.2f %9.2f %8.3f %11.2f %9lld %10lld\n", text.c_str(),
                run.blocks, run.dataBlocks, blanks, run.seconds,
                (run.dataBlocks * kModelDataMs + blanks * kModelBlankMs) / 1000, run.cpuSeconds,
                100 * run.cpuSeconds / run.seconds, static_cast<long long>(run.maxRssKiB),
                static_cast<long long>(run.blocksRssKiB));
    std::fflush(stdout);
    dataMs.insert(dataMs.end(), run.dataMs.begin(), run.dataMs.end());
    blankMs.insert(blankMs.end(), run.blankMs.begin(), run.blankMs.end());
    runs.push_back(std::move(run));
  }

  std::printf(
      "(wall: the CLI's start to its end; model: the blocks at the model's times; cpu: the CLI's\n"
      " user and system time; peak: its peak resident set; blocks: the most resident while blocks\n"
      " went out)\n");
  std::printf(
      "\ntime per block (from one block line to the next; the first block of a run has"
      " none)\n");
  std::printf("%-6s %6s %9s %9s %9s %9s %9s %15s\n", "kind", "count", "mean ms", "median", "min",
              "max", "model ms", "measured/model");
  auto row = [](const char* kind, const Stats& s, double model) {
    std::printf("%-6s %6zu %9.1f %9.1f %9.1f %9.1f %9.0f %15.3f\n", kind, s.count, s.mean, s.median,
                s.min, s.max, model, s.count > 0 ? s.mean / model : 0.0);
  };
  row("data", Summarize(dataMs), kModelDataMs);
  row("blank", Summarize(blankMs), kModelBlankMs);

  if (runs.size() >= 2) {
    // The growth of the peak from the smallest image to each larger one, per byte of image: what
    // the CLI holds of an image, whatever it needs besides.
    std::printf("\npeak memory against image size (growth over the %zu KiB run)\n",
                runs.front().imageBytes / 1024);
    for (size_t i = 1; i < runs.size(); ++i) {
      const double grownKiB = static_cast<double>(runs[i].maxRssKiB - runs.front().maxRssKiB);
      const double imageKiB =
          static_cast<double>(runs[i].imageBytes - runs.front().imageBytes) / 1024;
      std::printf("%6zu KiB image: peak %+.0f KiB, %.2f bytes of peak per byte of image\n",
                  runs[i].imageBytes / 1024, grownKiB, grownKiB / imageKiB);
    }
  }

  if (settings.idleSeconds > 0) {
    IdleResult idle = MeasureIdle(settings, dir);
    if (idle.ok) {
      std::printf(
          "\nconnected and waiting on a silent box: %.3f s CPU in %.1f s (%.2f %% of one"
          " core, %.1f ms per second)\n",
          idle.cpuSeconds, idle.seconds, 100 * idle.cpuSeconds / idle.seconds,
          1000 * idle.cpuSeconds / idle.seconds);
    } else {
      std::printf("\nidle measurement failed: %s\n", idle.failure.c_str());
      allOk = false;
    }
  }
  std::printf("\nload average (1, 5, 15 min) at end: %s\n", LoadAverage().c_str());
  if (!settings.keep) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  } else {
    std::printf("images and error output kept in %s\n", dir.c_str());
  }
  return allOk ? 0 : 1;
}

}  // namespace
}  // namespace wick::bench

int main(int argc, char** argv) {
  wick::bench::Settings settings;
  settings.binDir = wick::bench::OwnFolder();
  CLI::App app{
      "wickbench-upgrade runs whole upgrades of generated channel images by wickflash-cli against "
      "wickbox on a pseudo-terminal, at the real pacing, and measures the time per block, the "
      "CLI's CPU time and its peak memory."};
  app.add_option("--bin", settings.binDir, "Folder of wickflash-cli and wickbox")
      ->capture_default_str();
  app.add_option("--sizes", settings.sizes,
                 "Image sizes, whole 8 KiB blocks, with K or M (e.g. 64K,1M,8M)")
      ->delimiter(',')
      ->capture_default_str();
  app.add_option("--data-blocks", settings.dataBlocks,
                 "Data blocks in each image, spread evenly; all others are blank")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--idle-seconds", settings.idleSeconds,
                 "How long to measure the CLI waiting on a silent box (0: not at all)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--keep", settings.keep, "Keep the images and the programs' error output");
  CLI11_PARSE(app, argc, argv);
  return wick::bench::Run(settings);
}
