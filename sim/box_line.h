// The box's end of the line, and the bookkeeping of the slave sides that BoxPty keeps open.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace wick::sim {

int64_t NowMs();
// strerror of errno, captured at the failure.
std::string SystemReason();

// The slave descriptors that BoxPty objects keep open, by master descriptor.
void KeepSlave(int master, int slave);
void ReleaseKeptSlave(int master);

// After a header with a wrong end mark the tool drops the ten headers that follow it as well, so
// the box repeats its request at this pace until the answer starts, a few more times than needed.
inline constexpr int kRepeatEveryMs = 500;
inline constexpr int kMaxRepeats = 15;

enum class Wait { kOk, kTimeout, kGone, kStopped, kFailed };

// The box's end of the line: bounded reads and writes that a stop request wakes up. Bytes read
// beyond what was asked for stay pending for the next read.
class Line {
 public:
  Line(int fd, std::stop_token stop) : fd_(fd), stop_(std::move(stop)) {
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ >= 0) {
      on_stop_.emplace(stop_, [this] {
        uint64_t one = 1;
        ssize_t written = write(wake_, &one, sizeof one);
        (void)written;
      });
    } else {
      error_ = "eventfd: " + SystemReason();
    }
    int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
      error_ = "the line's descriptor: " + SystemReason();
    }
  }

  ~Line() {
    on_stop_.reset();
    if (wake_ >= 0) {
      close(wake_);
    }
  }

  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  bool usable() const { return wake_ >= 0 && error_.empty(); }
  const std::string& error() const { return error_; }

  // Waits until `count` bytes are pending. timeoutMs bounds the wait for the first byte and every
  // gap after it (negative: no limit). While no byte has come, `repeat` (if given) is called every
  // kRepeatEveryMs, at most kMaxRepeats times.
  Wait Fill(size_t count, int timeoutMs, const std::function<Wait()>& repeat = {}) {
    const size_t startSize = pending_.size();
    int64_t deadline = NowMs() + timeoutMs;
    int64_t nextRepeat = NowMs() + kRepeatEveryMs;
    int repeats = 0;
    while (pending_.size() < count) {
      int64_t now = NowMs();
      bool mayRepeat = repeat && pending_.size() == startSize && repeats < kMaxRepeats;
      int64_t wait = timeoutMs < 0 ? -1 : std::max<int64_t>(0, deadline - now);
      if (mayRepeat) {
        int64_t untilRepeat = std::max<int64_t>(0, nextRepeat - now);
        wait = wait < 0 ? untilRepeat : std::min(wait, untilRepeat);
      }
      short revents = 0;
      Wait w = PollFor(POLLIN, static_cast<int>(wait), revents);
      if (w == Wait::kOk) {
        size_t before = pending_.size();
        Wait r = ReadSome(revents);
        if (pending_.size() > before) {
          deadline = NowMs() + timeoutMs;
        }
        if (r != Wait::kOk) {
          return pending_.size() >= count ? Wait::kOk : r;
        }
        continue;
      }
      if (w != Wait::kTimeout) {
        return w;
      }
      now = NowMs();
      if (mayRepeat && now >= nextRepeat) {
        if (Wait r = repeat(); r != Wait::kOk) {
          return r;
        }
        ++repeats;
        nextRepeat = NowMs() + kRepeatEveryMs;
        deadline = NowMs() + timeoutMs;
      } else if (timeoutMs >= 0 && now >= deadline) {
        return Wait::kTimeout;
      }
    }
    return Wait::kOk;
  }

  std::vector<uint8_t> Take(size_t count) {
    count = std::min(count, pending_.size());
    std::vector<uint8_t> out(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(count));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(count));
    return out;
  }

  size_t pending() const { return pending_.size(); }

  // Writes all bytes; timeoutMs bounds each wait for room on the line (negative: no limit).
  Wait Write(const std::vector<uint8_t>& bytes, int timeoutMs) {
    size_t done = 0;
    int64_t deadline = NowMs() + timeoutMs;
    while (done < bytes.size()) {
      ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
        deadline = NowMs() + timeoutMs;
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        int64_t wait = timeoutMs < 0 ? -1 : deadline - NowMs();
        if (timeoutMs >= 0 && wait <= 0) {
          return Wait::kTimeout;
        }
        short revents = 0;
        Wait w = PollFor(POLLOUT, static_cast<int>(wait), revents);
        if (w == Wait::kOk && (revents & POLLOUT) == 0) {
          return Wait::kGone;
        }
        if (w != Wait::kOk && w != Wait::kTimeout) {
          return w;
        }
        continue;
      }
      if (n == 0 || errno == EIO || errno == EPIPE) {
        return Wait::kGone;
      }
      error_ = "writing to the line: " + SystemReason();
      return Wait::kFailed;
    }
    return Wait::kOk;
  }

 private:
  Wait PollFor(short events, int timeoutMs, short& revents) {
    if (stop_.stop_requested()) {
      return Wait::kStopped;
    }
    pollfd fds[2] = {{fd_, events, 0}, {wake_, POLLIN, 0}};
    int n = poll(fds, 2, timeoutMs);
    if (n < 0) {
      if (errno == EINTR) {
        return Wait::kTimeout;  // the caller looks at its clock again
      }
      error_ = "poll: " + SystemReason();
      return Wait::kFailed;
    }
    if (fds[1].revents != 0 || stop_.stop_requested()) {
      return Wait::kStopped;
    }
    if (n == 0) {
      return Wait::kTimeout;
    }
    if ((fds[0].revents & POLLNVAL) != 0) {
      error_ = "the line's descriptor is not open";
      return Wait::kFailed;
    }
    revents = fds[0].revents;
    return Wait::kOk;
  }

  // Reads what the line holds. A read of 0 or EIO means the tool's side went away; so does a
  // hang-up with nothing left to read.
  Wait ReadSome(short revents) {
    for (;;) {
      uint8_t buffer[16384];
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n > 0) {
        pending_.insert(pending_.end(), buffer, buffer + n);
        if (!heard_) {
          heard_ = true;
          ReleaseKeptSlave(fd_);
        }
        continue;
      }
      if (n == 0) {
        return Wait::kGone;
      }
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return (revents & (POLLHUP | POLLERR)) != 0 && (revents & POLLIN) == 0 ? Wait::kGone
                                                                               : Wait::kOk;
      }
      if (errno == EIO) {
        return Wait::kGone;
      }
      error_ = "reading from the line: " + SystemReason();
      return Wait::kFailed;
    }
  }

  int fd_;
  int wake_ = -1;
  std::stop_token stop_;
  std::optional<std::stop_callback<std::function<void()>>> on_stop_;
  std::vector<uint8_t> pending_;
  std::string error_;
  bool heard_ = false;
};

}  // namespace wick::sim
