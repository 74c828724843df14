#include "bench/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace wick::bench {

Child::~Child() {
  if (pid_ > 0 && !ended_) {
    Wait(0);
  }
  if (out_ >= 0) {
    close(out_);
  }
}

bool Child::Start(const std::vector<std::string>& argv, const std::string& errorFile,
                  std::string& error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (!errorFile.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    pid_ = -1;
    error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  out_ = fds[0];
  return true;
}

std::optional<TimedLine> Child::ReadLine(int timeoutMs, bool& timedOut) {
  timedOut = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    // A line already read with an earlier chunk carries that chunk's time; the CLI flushes each
    // line on its own, so a chunk holds one line as a rule.
    if (auto end = pending_.find('\n'); end != std::string::npos) {
      TimedLine line{pendingAt_, pending_.substr(0, end)};
      pending_.erase(0, end + 1);
      return line;
    }
    if (out_ < 0) {
      return std::nullopt;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      timedOut = true;
      return std::nullopt;
    }
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) {
      continue;
    }
    char chunk[4096];
    ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) {
      close(out_);
      out_ = -1;
      if (!pending_.empty()) {
        TimedLine line{pendingAt_, pending_};
        pending_.clear();
        return line;
      }
      return std::nullopt;
    }
    pendingAt_ = std::chrono::steady_clock::now();
    pending_.append(chunk, static_cast<size_t>(n));
  }
}

ChildEnd Child::Wait(int timeoutMs) {
  ChildEnd end;
  if (pid_ <= 0 || ended_) {
    return end;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  rusage usage{};
  while (true) {
    pid_t got = wait4(pid_, &status, WNOHANG, &usage);
    if (got == pid_) {
      break;
    }
    if (got < 0 && errno != EINTR) {
      ended_ = true;
      return end;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      wait4(pid_, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ended_ = true;
  end.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  end.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  end.maxRssKiB = usage.ru_maxrss;
  return end;
}

void Child::Signal(int signal) {
  if (pid_ > 0 && !ended_) {
    kill(pid_, signal);
  }
}

std::optional<double> ProcessCpuSeconds(pid_t pid) {
  std::error_code ec;
  std::filesystem::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", ec);
  if (ec) {
    return std::nullopt;
  }
  double seconds = 0;
  for (const auto& task : tasks) {
    std::ifstream in(task.path() / "schedstat");
    uint64_t onCpuNs = 0;
    if (in >> onCpuNs) {
      seconds += static_cast<double>(onCpuNs) / 1e9;
    }
  }
  return seconds;
}

}  // namespace wick::bench
