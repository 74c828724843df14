// The programs the upgrade benchmark runs as children: started with their output on pipes, read
// line by line with the time each line arrived, and measured (CPU time, peak memory) through the
// kernel's records of the process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wick::bench {

using SteadyTime = std::chrono::steady_clock::time_point;

struct TimedLine {
  SteadyTime at;
  std::string text;
};

// How a child ended, from wait4.
struct ChildEnd {
  int exitCode = -1;      // the exit status, 128 + the signal for a child killed by one
  double cpuSeconds = 0;  // user plus system time, all threads
  int64_t maxRssKiB = 0;  // peak resident set (the kernel's VmHWM at exit)
};

class Child {
 public:
  Child() = default;
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Starts argv[0] with stdout on a pipe and stderr into errorFile (empty: inherited). False with
  // the reason in error when it cannot start.
  bool Start(const std::vector<std::string>& argv, const std::string& errorFile,
             std::string& error);
  pid_t pid() const { return pid_; }

  // The next line on stdout, waiting at most timeoutMs; nothing at the end of the output or on
  // timeout (then timedOut is set).
  std::optional<TimedLine> ReadLine(int timeoutMs, bool& timedOut);
  // Waits for the child's end, at most timeoutMs; past it the child is killed (SIGKILL) and
  // waited for.
  ChildEnd Wait(int timeoutMs);
  void Signal(int signal);

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
  SteadyTime pendingAt_{};
  bool ended_ = false;
};

// On-CPU time of all threads of a running process so far, in seconds, from the scheduler's
// nanosecond counters (/proc/PID/task/*/schedstat); nothing when the process is gone.
std::optional<double> ProcessCpuSeconds(pid_t pid);

}  // namespace wick::bench
