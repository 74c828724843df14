// Runs a program as a child process with its output captured, for end-to-end tests of the real
// binaries. Never waits past its limit: a child that does not end is killed and reported.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace wick::test {

struct ProcessResult {
  int exitCode = -1;  // 128 + signal when killed by one
  bool timedOut = false;
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::chrono::milliseconds limit{std::chrono::seconds(60)};
  // Called once, after `after` has passed, with the child's pid (to send it a signal).
  std::chrono::milliseconds after{0};
  std::function<void(pid_t)> onRunning = {};
  // Called with each complete stdout line as it arrives.
  std::function<void(pid_t, const std::string&)> onLine = {};
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace wick::test
