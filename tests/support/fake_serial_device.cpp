#include "tests/support/fake_serial_device.h"

#include <algorithm>
#include <cerrno>

namespace wick::test {

using namespace platform;

void FakeLine::Feed(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(mu);
  incoming.insert(incoming.end(), bytes.begin(), bytes.end());
  cv.notify_all();
}

void FakeLine::Fail(const std::string& op, int err) {
  std::lock_guard lock(mu);
  if (err == 0) {
    fail.erase(op);
  } else {
    fail[op] = err;
  }
}

void FakeLine::HangUp() {
  std::lock_guard lock(mu);
  hungUp = true;
  cv.notify_all();
}

std::vector<std::string> FakeLine::Calls() {
  std::lock_guard lock(mu);
  return calls;
}

namespace {

class FakeDevice final : public SerialDevice {
 public:
  FakeDevice(std::shared_ptr<FakeLine> line, bool valid, int error)
      : line_(std::move(line)), valid_(valid), error_(error) {}

  bool IsValid() const override { return valid_; }
  int LastError() const override { return error_; }

  bool GetState(DCB& dcb) override {
    if (!Call("GetState")) {
      return false;
    }
    dcb = state_;
    return true;
  }
  bool SetState(const DCB& dcb) override {
    if (!Call("SetState(" + std::to_string(dcb.BaudRate) + "," + std::to_string(dcb.ByteSize) +
              "," + std::to_string(dcb.Parity) + "," + std::to_string(dcb.StopBits) + ",cts" +
              std::to_string(dcb.fOutxCtsFlow) + ",dsr" + std::to_string(dcb.fOutxDsrFlow) +
              ",rts" + std::to_string(dcb.fRtsControl) + ",xon" + std::to_string(dcb.XonLim) +
              ",xoff" + std::to_string(dcb.XoffLim) + ")")) {
      return false;
    }
    state_ = dcb;
    return true;
  }
  bool SetMask(uint32_t mask) override {
    if (!Call("SetMask(" + std::to_string(mask) + ")")) {
      return false;
    }
    std::lock_guard lock(line_->mu);
    mask_ = mask;
    line_->cv.notify_all();
    return true;
  }
  bool Setup(uint32_t in, uint32_t out) override {
    return Call("Setup(" + std::to_string(in) + "," + std::to_string(out) + ")");
  }
  bool Purge(uint32_t flags) override {
    if (!Call("Purge(" + std::to_string(flags) + ")")) {
      return false;
    }
    std::lock_guard lock(line_->mu);
    line_->incoming.clear();
    return true;
  }
  bool SetTimeouts(const COMMTIMEOUTS& t) override {
    return Call("SetTimeouts(" + std::to_string(t.ReadIntervalTimeout) + "," +
                std::to_string(t.ReadTotalTimeoutMultiplier) + "," +
                std::to_string(t.ReadTotalTimeoutConstant) + "," +
                std::to_string(t.WriteTotalTimeoutMultiplier) + "," +
                std::to_string(t.WriteTotalTimeoutConstant) + ")");
  }
  bool EscapeFunction(uint32_t function) override {
    return Call("EscapeFunction(" + std::to_string(function) + ")");
  }
  bool ClearError(uint32_t& errors, COMSTAT& status) override {
    errors = 0;
    status = COMSTAT{};
    if (!Call("ClearError")) {
      return false;
    }
    std::lock_guard lock(line_->mu);
    if (line_->hungUp) {
      error_ = EIO;
      return false;
    }
    status.cbInQue = static_cast<uint32_t>(line_->incoming.size());
    return true;
  }
  bool WaitEvent(uint32_t& events) override {
    events = 0;
    if (!Call("WaitEvent")) {
      return false;
    }
    std::unique_lock lock(line_->mu);
    line_->cv.wait(lock, [&] {
      return mask_ == 0 || line_->cancelled || line_->hungUp || !line_->incoming.empty();
    });
    if (line_->cancelled || mask_ == 0) {
      line_->cancelled = false;
      return false;
    }
    events = EV_RXCHAR;
    return true;
  }
  void CancelWait() override {
    std::lock_guard lock(line_->mu);
    line_->cancelled = true;
    line_->cv.notify_all();
  }
  bool Read(void* dest, uint32_t count, uint32_t& got) override {
    got = 0;
    if (!Call("Read")) {
      return false;
    }
    std::lock_guard lock(line_->mu);
    auto* out = static_cast<uint8_t*>(dest);
    while (got < count && !line_->incoming.empty()) {
      out[got++] = line_->incoming.front();
      line_->incoming.pop_front();
    }
    return true;
  }
  bool Write(const void* src, uint32_t count, uint32_t& written) override {
    written = 0;
    if (!Call("Write")) {
      return false;
    }
    std::lock_guard lock(line_->mu);
    if (line_->writeTakesNothing) {
      return true;
    }
    written = line_->writeChunk > 0 ? std::min(count, line_->writeChunk) : count;
    const auto* in = static_cast<const uint8_t*>(src);
    line_->written.insert(line_->written.end(), in, in + written);
    line_->writes.emplace_back(in, in + written);
    if (line_->log != nullptr) {
      line_->log->Add("write " + std::to_string(written));
    }
    return true;
  }
  bool Close() override {
    if (!Call("Close")) {
      return false;
    }
    valid_ = false;
    return true;
  }

 private:
  // Records the call and applies an injected failure.
  bool Call(const std::string& what) {
    std::lock_guard lock(line_->mu);
    line_->calls.push_back(what);
    if (!valid_) {
      error_ = EBADF;
      return false;
    }
    std::string op = what.substr(0, what.find('('));
    auto it = line_->fail.find(op);
    if (it != line_->fail.end()) {
      error_ = it->second;
      return false;
    }
    return true;
  }

  std::shared_ptr<FakeLine> line_;
  bool valid_;
  int error_;
  uint32_t mask_ = 0;
  DCB state_{};
};

}  // namespace

std::unique_ptr<SerialDevice> FakeSerialDevices::Open(const std::string& name) {
  std::lock_guard lock(line_->mu);
  line_->calls.push_back("Open(" + name + ")");
  if (line_->openFails) {
    return std::make_unique<FakeDevice>(line_, false, line_->openError);
  }
  return std::make_unique<FakeDevice>(line_, true, 0);
}

}  // namespace wick::test
