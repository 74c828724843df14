#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace wick::test {

namespace {
int64_t Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    ADD_FAILURE() << "no pseudo-terminal: " << std::strerror(errno);
    return;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    ADD_FAILURE() << "ptsname: " << std::strerror(errno);
    return;
  }
  slave_path_ = name;
  // The master's own side in raw mode, so that the box's bytes pass unchanged.
  termios t{};
  if (tcgetattr(master_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
  }
  // Without an open slave, the master side reports a hang-up before the port has opened it.
  keep_slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
}

Pty::~Pty() {
  if (keep_slave_ >= 0) {
    close(keep_slave_);
  }
  CloseMaster();
}

void Pty::Write(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  int64_t deadline = Now() + 5000;
  while (done < bytes.size() && Now() < deadline) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    } else {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
  ASSERT_EQ(done, bytes.size()) << "writing to the pseudo-terminal's master side";
}

std::vector<uint8_t> Pty::Read(size_t count, std::chrono::milliseconds timeout) {
  std::vector<uint8_t> out;
  int64_t deadline = Now() + timeout.count();
  while (out.size() < count) {
    uint8_t buf[4096];
    ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n > 0) {
      out.insert(out.end(), buf, buf + n);
      continue;
    }
    int64_t left = deadline - Now();
    if (left <= 0) {
      break;
    }
    pollfd p{master_, POLLIN, 0};
    poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 50)));
  }
  return out;
}

std::vector<uint8_t> Pty::ReadUntilQuiet(std::chrono::milliseconds quiet,
                                         std::chrono::milliseconds limit) {
  std::vector<uint8_t> out;
  int64_t end = Now() + limit.count();
  int64_t lastByte = Now();
  while (Now() < end && Now() - lastByte < quiet.count()) {
    uint8_t buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0) {
      out.insert(out.end(), buf, buf + n);
      lastByte = Now();
      continue;
    }
    pollfd p{master_, POLLIN, 0};
    poll(&p, 1, 10);
  }
  return out;
}

void Pty::CloseMaster() {
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
}

}  // namespace wick::test
