// Several boxes at once: one child process per port, each a single-port run that reports in lines,
// gathered here into one progress line per port and a summary table.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include "cli/flash.h"
#include "cli/image_plan.h"

extern char** environ;

namespace wick::cli {

namespace {

struct Child {
  std::string port;
  pid_t pid = -1;
  int out = -1;
  int err = -1;
  std::string outPending;
  std::string errPending;
  std::vector<std::string> messages;
  int exitCode = -1;
  int n = 0;
  int of = 0;
  int blanks = 0;
  long long sent = 0;
  long long size = 0;
  std::string state = "connecting";
  std::string crc;
  std::string seconds;
  std::string reason;
};

// key=value fields of a progress line; a quoted value may hold spaces.
std::map<std::string, std::string> Fields(const std::string& line) {
  std::map<std::string, std::string> out;
  size_t i = line.find(' ');
  while (i != std::string::npos && i < line.size()) {
    ++i;
    size_t eq = line.find('=', i);
    if (eq == std::string::npos) {
      break;
    }
    std::string key = line.substr(i, eq - i);
    size_t end;
    std::string value;
    if (eq + 1 < line.size() && line[eq + 1] == '"') {
      end = line.find('"', eq + 2);
      value = line.substr(eq + 2, end == std::string::npos ? std::string::npos : end - eq - 2);
      i = end == std::string::npos ? end : line.find(' ', end);
    } else {
      end = line.find(' ', eq);
      value = line.substr(eq + 1, end == std::string::npos ? std::string::npos : end - eq - 1);
      i = end;
    }
    out[key] = value;
  }
  return out;
}

void TakeLine(Child& c, const std::string& line, ProgressStyle style) {
  if (style == ProgressStyle::kLines) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  auto f = Fields(line);
  auto num = [&](const char* key) { return f.count(key) ? std::atoll(f[key].c_str()) : 0; };
  if (line.rfind("start ", 0) == 0) {
    c.of = static_cast<int>(num("blocks"));
    c.size = num("size");
    c.state = "sending";
  } else if (line.rfind("block ", 0) == 0) {
    c.n = std::max(c.n, static_cast<int>(num("n")));
    c.of = static_cast<int>(num("of"));
    c.sent = num("sent");
    c.size = num("size");
    if (f["type"] == "blank" && f["resend"] != "1") {
      ++c.blanks;
    }
  } else if (line.rfind("done ", 0) == 0) {
    c.state = "done";
    c.crc = f["crc"];
    c.seconds = f["seconds"];
  } else if (line.rfind("fail ", 0) == 0) {
    c.state = "failed";
    c.reason = f["reason"];
  }
}

// Reads what a child wrote; false at the end of both its streams.
void Drain(int& fd, std::string& pending, const std::function<void(const std::string&)>& line) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) {
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      if (!pending.empty()) {
        line(pending);
        pending.clear();
      }
      close(fd);
      fd = -1;
    }
    return;
  }
  pending.append(buf, static_cast<size_t>(n));
  size_t nl;
  while ((nl = pending.find('\n')) != std::string::npos) {
    line(pending.substr(0, nl));
    pending.erase(0, nl + 1);
  }
}

std::string BarLine(const Child& c, size_t width) {
  std::string port = c.port;
  port.resize(std::max(width, port.size()), ' ');
  double fraction = c.size > 0 ? static_cast<double>(c.sent) / static_cast<double>(c.size) : 0;
  if (c.state == "done") {
    fraction = 1;
  }
  std::string bar(static_cast<size_t>(fraction * 20 + 0.5), '#');
  bar.resize(20, '.');
  char text[256];
  std::snprintf(text, sizeof text, "%s [%s] %3d%%  block %d/%d (%d blank)  %s", port.c_str(),
                bar.c_str(), static_cast<int>(fraction * 100), c.n, c.of, c.blanks,
                c.state.c_str());
  return text;
}

bool Spawn(Child& c, const FlashOptions& options, const std::string& self) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return false;
  }
  std::vector<std::string> args = {self,         "flash",
                                   "-p",         c.port,
                                   "-k",         std::to_string(options.mode),
                                   "-t",         std::to_string(options.silenceSeconds),
                                   "--progress", "lines"};
  if (options.verbosity > 0) {
    args.push_back(options.verbosity > 1 ? "-vv" : "-v");
  }
  if (!options.logDir.empty()) {
    args.insert(args.end(), {"--log-dir", options.logDir});
  }
  args.insert(args.end(), {"--", options.image});
  std::vector<char*> argv;
  for (auto& a : args) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  int rc = posix_spawn(&c.pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  c.out = out[0];
  c.err = err[0];
  if (rc != 0) {
    c.messages.push_back(c.port + ": cannot start a run: " + std::strerror(rc));
    close(c.out);
    close(c.err);
    c.out = c.err = -1;
    c.exitCode = kExitPort;
    c.state = "failed";
    return false;
  }
  return true;
}

}  // namespace

int RunFlashOnPorts(const FlashOptions& options, const std::string& self) {
  ProgressStyle style = StyleFor(options.progress);
  std::vector<Child> children(options.ports.size());
  size_t width = 0;
  for (size_t i = 0; i < children.size(); ++i) {
    children[i].port = options.ports[i];
    width = std::max(width, children[i].port.size());
    Spawn(children[i], options, self);
  }

  bool forwarded = false;
  bool drawn = false;
  auto draw = [&] {
    if (style != ProgressStyle::kBar) {
      return;
    }
    if (drawn) {
      std::fprintf(stderr, "\x1b[%zuA", children.size());
    }
    for (const auto& c : children) {
      std::fprintf(stderr, "\r\x1b[K%s\n", BarLine(c, width).c_str());
    }
    std::fflush(stderr);
    drawn = true;
  };
  draw();

  for (;;) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Child*, bool>> owners;  // child, is stdout
    for (auto& c : children) {
      if (c.out >= 0) {
        fds.push_back({c.out, POLLIN, 0});
        owners.emplace_back(&c, true);
      }
      if (c.err >= 0) {
        fds.push_back({c.err, POLLIN, 0});
        owners.emplace_back(&c, false);
      }
    }
    if (fds.empty()) {
      break;
    }
    // The terminal sends Ctrl-C to the children as well; a stop sent to this process alone is
    // passed on, once.
    if (StopSignal() != 0 && !forwarded) {
      for (auto& c : children) {
        if (c.pid > 0) {
          kill(c.pid, SIGINT);
        }
      }
      forwarded = true;
    }
    poll(fds.data(), fds.size(), 250);
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) {
        continue;
      }
      Child& c = *owners[i].first;
      if (owners[i].second) {
        Drain(c.out, c.outPending, [&](const std::string& l) { TakeLine(c, l, style); });
      } else {
        Drain(c.err, c.errPending, [&](const std::string& l) {
          if (style == ProgressStyle::kBar) {
            c.messages.push_back(l);
          } else {
            std::fprintf(stderr, "%s\n", l.c_str());
          }
        });
      }
    }
    draw();
  }

  int result = kExitOk;
  for (auto& c : children) {
    if (c.pid > 0) {
      int status = 0;
      while (waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
      }
      c.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (c.exitCode != kExitOk && result == kExitOk) {
      result = c.exitCode;
    }
  }
  if (StopSignal() != 0) {
    result = kExitInterrupted;
  }

  for (const auto& c : children) {
    for (const auto& m : c.messages) {
      std::fprintf(stderr, "%s\n", m.c_str());
    }
  }
  std::string header = "port";
  header.resize(std::max<size_t>(width, 4), ' ');
  std::fprintf(stderr, "\n%s  result   blocks        time   final CRC / reason\n", header.c_str());
  for (const auto& c : children) {
    std::string port = c.port;
    port.resize(std::max<size_t>(width, 4), ' ');
    char blocks[32];
    std::snprintf(blocks, sizeof blocks, "%d/%d", c.n, c.of);
    std::string time = c.seconds.empty() ? "-" : FormatDuration(std::atof(c.seconds.c_str()));
    std::fprintf(stderr, "%s  %-7s  %-12s  %-5s  %s\n", port.c_str(),
                 c.exitCode == kExitOk ? "ok" : ("exit " + std::to_string(c.exitCode)).c_str(),
                 blocks, time.c_str(), c.exitCode == kExitOk ? c.crc.c_str() : c.reason.c_str());
  }
  std::fflush(stderr);
  return result;
}

}  // namespace wick::cli
