#include "platform/termios_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>

#include "platform/port_names.h"

namespace wick::platform {
namespace {

struct BaudEntry {
  uint32_t rate;
  speed_t code;
};

constexpr BaudEntry kBauds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1500000, B1500000},
    {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

bool SpeedCode(uint32_t rate, speed_t& code) {
  for (const auto& b : kBauds) {
    if (b.rate == rate) {
      code = b.code;
      return true;
    }
  }
  return false;
}

uint32_t SpeedRate(speed_t code) {
  for (const auto& b : kBauds) {
    if (b.code == code) {
      return b.rate;
    }
  }
  return 0;
}

// Modem-control ioctls fail with these on devices without modem lines (pseudo-terminals).
bool NoModemLines(int err) {
  return err == ENOTTY || err == EINVAL || err == ENOTSUP;
}

// The line is gone (hung up, unplugged): there is nothing left to drop or purge, and closing such
// a port must still succeed, or it could never be opened afresh.
bool LineGone(int err) {
  return err == EIO || err == ENXIO || err == ENODEV;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class TermiosDevice final : public SerialDevice {
 public:
  TermiosDevice(int fd, int wake, int error) : fd_(fd), wake_(wake), error_(error) {}
  ~TermiosDevice() override { Close(); }

  bool IsValid() const override { return fd_ >= 0; }
  int LastError() const override { return error_; }

  bool GetState(DCB& dcb) override {
    termios t{};
    if (!Usable()) {
      return false;
    }
    if (tcgetattr(fd_, &t) != 0) {
      return Fail();
    }
    dcb = DCB{};
    dcb.BaudRate = SpeedRate(cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
      case CS5:
        dcb.ByteSize = 5;
        break;
      case CS6:
        dcb.ByteSize = 6;
        break;
      case CS7:
        dcb.ByteSize = 7;
        break;
      default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB)) {
      dcb.Parity = NOPARITY;
    } else if (t.c_cflag & CMSPAR) {
      dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
      dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb.fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    dcb.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    return true;
  }

  // The line always becomes raw and 8-bit clean, whatever it was before: the exchange carries
  // binary image data, so XON/XOFF, input parity marking and every character translation stay off
  // even where the settings record asks for them.
  bool SetState(const DCB& dcb) override {
    termios t{};
    speed_t speed{};
    if (!Usable()) {
      return false;
    }
    if (tcgetattr(fd_, &t) != 0) {
      return Fail();
    }
    if (!SpeedCode(dcb.BaudRate, speed)) {
      return Fail(EINVAL);
    }
    cfmakeraw(&t);
    t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | PARMRK | ISTRIP);
    t.c_iflag |= IGNBRK;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CLOCAL | CREAD;
    switch (dcb.ByteSize) {
      case 5:
        t.c_cflag |= CS5;
        break;
      case 6:
        t.c_cflag |= CS6;
        break;
      case 7:
        t.c_cflag |= CS7;
        break;
      case 8:
        t.c_cflag |= CS8;
        break;
      default:
        return Fail(EINVAL);
    }
    switch (dcb.Parity) {
      case NOPARITY:
        break;
      case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
      case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
      case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
      case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
      default:
        return Fail(EINVAL);
    }
    if (dcb.StopBits == ONE5STOPBITS || dcb.StopBits == TWOSTOPBITS) {
      t.c_cflag |= CSTOPB;
    } else if (dcb.StopBits != ONESTOPBIT) {
      return Fail(EINVAL);
    }
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
      t.c_cflag |= CRTSCTS;
    }
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
      return Fail();
    }
    // tcsetattr succeeds when any one change took; a speed or size the driver refused shows only
    // when the settings are read back.
    termios check{};
    if (tcgetattr(fd_, &check) != 0) {
      return Fail();
    }
    if (cfgetospeed(&check) != speed || (check.c_cflag & CSIZE) != (t.c_cflag & CSIZE) ||
        (check.c_cflag & (PARENB | PARODD | CSTOPB)) != (t.c_cflag & (PARENB | PARODD | CSTOPB))) {
      return Fail(EINVAL);
    }
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE) {
      return EscapeFunction(SETRTS);
    }
    if (dcb.fRtsControl == RTS_CONTROL_DISABLE) {
      return EscapeFunction(CLRRTS);
    }
    return true;
  }

  bool SetMask(uint32_t mask) override {
    if (!Usable()) {
      return false;
    }
    {
      std::lock_guard lock(mu_);
      mask_ = mask;
    }
    if (mask == 0) {
      CancelWait();
    }
    return true;
  }

  bool Setup(uint32_t, uint32_t) override {
    // The kernel sizes its tty queues itself (4095 bytes on a pseudo-terminal, more on a UART).
    return Usable();
  }

  bool Purge(uint32_t flags) override {
    if (!Usable()) {
      return false;
    }
    bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
    bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
    if (!tx && !rx) {
      return true;
    }
    int which = tx && rx ? TCIOFLUSH : (tx ? TCOFLUSH : TCIFLUSH);
    return tcflush(fd_, which) == 0 || LineGone(errno) || Fail();
  }

  bool SetTimeouts(const COMMTIMEOUTS& timeouts) override {
    if (!Usable()) {
      return false;
    }
    std::lock_guard lock(mu_);
    timeouts_ = timeouts;
    return true;
  }

  bool EscapeFunction(uint32_t function) override {
    if (!Usable()) {
      return false;
    }
    int bits = 0;
    unsigned long request = 0;
    switch (function) {
      case SETRTS:
        bits = TIOCM_RTS;
        request = TIOCMBIS;
        break;
      case CLRRTS:
        bits = TIOCM_RTS;
        request = TIOCMBIC;
        break;
      case SETDTR:
        bits = TIOCM_DTR;
        request = TIOCMBIS;
        break;
      case CLRDTR:
        bits = TIOCM_DTR;
        request = TIOCMBIC;
        break;
      default:
        return Fail(EINVAL);
    }
    if (ioctl(fd_, request, &bits) != 0 && !NoModemLines(errno) && !LineGone(errno)) {
      return Fail();
    }
    return true;
  }

  bool ClearError(uint32_t& errors, COMSTAT& status) override {
    errors = 0;
    status = COMSTAT{};
    if (!Usable()) {
      return false;
    }
    // A read of 0 bytes looks the same on an idle line and on one whose far side is gone; only
    // poll tells them apart.
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 0) < 0) {
      return Fail();
    }
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      return Fail(EIO);
    }
    int waiting = 0;
    if (ioctl(fd_, FIONREAD, &waiting) != 0) {
      return Fail();
    }
    int queued = 0;
    if (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0) {
      status.cbOutQue = static_cast<uint32_t>(queued);
    }
    status.cbInQue = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    return true;
  }

  bool WaitEvent(uint32_t& events) override {
    events = 0;
    if (!Usable()) {
      return false;
    }
    {
      std::lock_guard lock(mu_);
      if (mask_ == 0) {
        return Fail(EINVAL);
      }
    }
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    for (;;) {
      int n = poll(p, 2, -1);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0) {
        return Fail();
      }
      break;
    }
    if (p[1].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t r = read(wake_, &count, sizeof count);
      return Fail(ECANCELED);
    }
    std::lock_guard lock(mu_);
    if (mask_ & EV_RXCHAR) {
      events = EV_RXCHAR;
      return true;
    }
    return Fail(ECANCELED);
  }

  void CancelWait() override {
    if (wake_ >= 0) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t r = write(wake_, &one, sizeof one);
    }
  }

  bool Read(void* dest, uint32_t count, uint32_t& got) override {
    got = 0;
    if (!Usable()) {
      return false;
    }
    COMMTIMEOUTS t = Timeouts();
    // MAXDWORD with no total timeout: return at once with what is there.
    bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                     t.ReadTotalTimeoutConstant == 0;
    int64_t deadline =
        NowMs() + int64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
    auto* out = static_cast<unsigned char*>(dest);
    while (got < count) {
      ssize_t r = read(fd_, out + got, count - got);
      if (r > 0) {
        got += static_cast<uint32_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) {
        continue;
      }
      if (r < 0 && errno != EAGAIN) {
        return Fail();
      }
      if (immediate) {
        break;
      }
      int64_t left = deadline - NowMs();
      if (got > 0 && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD) {
        left = std::min<int64_t>(left, t.ReadIntervalTimeout);
      }
      if (left <= 0) {
        break;
      }
      pollfd p{fd_, POLLIN, 0};
      int n = poll(&p, 1, static_cast<int>(left));
      if (n == 0) {
        break;
      }
      if (n < 0 && errno != EINTR) {
        return Fail();
      }
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        return Fail(EIO);
      }
    }
    return true;
  }

  bool Write(const void* src, uint32_t count, uint32_t& written) override {
    written = 0;
    if (!Usable()) {
      return false;
    }
    COMMTIMEOUTS t = Timeouts();
    int64_t budget = int64_t{t.WriteTotalTimeoutMultiplier} * count + t.WriteTotalTimeoutConstant;
    // Without a write timeout a box that stops reading would hold the writer for ever.
    if (budget == 0) {
      budget = kDefaultWriteTimeoutMs;
    }
    int64_t deadline = NowMs() + budget;
    const auto* in = static_cast<const unsigned char*>(src);
    while (written < count) {
      ssize_t r = write(fd_, in + written, count - written);
      if (r > 0) {
        written += static_cast<uint32_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) {
        continue;
      }
      if (r < 0 && errno != EAGAIN) {
        return Fail();
      }
      int64_t left = deadline - NowMs();
      if (left <= 0) {
        return Fail(ETIMEDOUT);
      }
      pollfd p{fd_, POLLOUT, 0};
      int n = poll(&p, 1, static_cast<int>(left));
      if (n < 0 && errno != EINTR) {
        return Fail();
      }
      if (n > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        return Fail(EIO);
      }
    }
    return true;
  }

  bool Close() override {
    bool ok = true;
    if (wake_ >= 0) {
      ::close(wake_);
      wake_ = -1;
    }
    if (fd_ >= 0) {
      // Releases the flock with the descriptor.
      ok = ::close(fd_) == 0;
      if (!ok) {
        error_ = errno;
      }
      fd_ = -1;
      closed_ = true;
    }
    return ok;
  }

 private:
  static constexpr int64_t kDefaultWriteTimeoutMs = 5000;

  bool Usable() {
    if (fd_ < 0) {
      if (closed_) {
        error_ = EBADF;
      }
      return false;
    }
    return true;
  }
  bool Fail() { return Fail(errno); }
  bool Fail(int err) {
    error_ = err;
    return false;
  }
  COMMTIMEOUTS Timeouts() {
    std::lock_guard lock(mu_);
    return timeouts_;
  }

  int fd_;
  int wake_;
  int error_;
  bool closed_ = false;
  std::mutex mu_;  // mask and timeouts, read by the receive thread's wait and the writer
  uint32_t mask_ = 0;
  COMMTIMEOUTS timeouts_{};
};

class TermiosProvider final : public SerialDeviceProvider {
 public:
  std::unique_ptr<SerialDevice> Open(const std::string& name) override {
    return OpenTermiosDevice(DevicePathForPort(name));
  }
};

}  // namespace

std::unique_ptr<SerialDevice> OpenTermiosDevice(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return std::make_unique<TermiosDevice>(-1, -1, errno);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return std::make_unique<TermiosDevice>(-1, -1, err);
  }
  // TIOCEXCL keeps out later opens by other users; a non-tty fails here and is reported by the
  // first settings query instead, as an unusable device would be.
  if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
    int err = errno;
    ::close(fd);
    return std::make_unique<TermiosDevice>(-1, -1, err);
  }
  int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    int err = errno;
    ::close(fd);
    return std::make_unique<TermiosDevice>(-1, -1, err);
  }
  return std::make_unique<TermiosDevice>(fd, wake, 0);
}

SerialDeviceProvider& SystemSerialDevices() {
  static TermiosProvider provider;
  return provider;
}

}  // namespace wick::platform
