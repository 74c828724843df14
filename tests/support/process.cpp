#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace wick::test {

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  ProcessResult result;
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    result.err = "pipe failed";
    return result;
  }
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& a : args) {
    raw.push_back(a.data());
  }
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, raw[0], &actions, nullptr, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    result.err = std::string("cannot start ") + raw[0];
    return result;
  }
  auto start = std::chrono::steady_clock::now();
  bool signalled = false;
  int fds[2] = {out[0], err[0]};
  std::string pendingLine;
  while (fds[0] >= 0 || fds[1] >= 0) {
    auto elapsed = std::chrono::steady_clock::now() - start;
    if (elapsed > options.limit) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (!signalled && options.onRunning && elapsed >= options.after) {
      signalled = true;
      options.onRunning(pid);
    }
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    poll(p, 2, 20);
    for (int i = 0; i < 2; ++i) {
      if (fds[i] < 0 || p[i].revents == 0) {
        continue;
      }
      char buf[4096];
      ssize_t n = read(fds[i], buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
        if (i == 0 && options.onLine) {
          pendingLine.append(buf, static_cast<size_t>(n));
          size_t nl;
          while ((nl = pendingLine.find('\n')) != std::string::npos) {
            options.onLine(pid, pendingLine.substr(0, nl));
            pendingLine.erase(0, nl + 1);
          }
        }
      } else if (n == 0 || errno != EINTR) {
        close(fds[i]);
        fds[i] = -1;
      }
    }
  }
  for (int fd : fds) {
    if (fd >= 0) {
      close(fd);
    }
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace wick::test
