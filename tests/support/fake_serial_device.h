// A serial device in memory, for the cases a real device cannot be made to show: an operation that
// fails, a write that takes only part of the bytes. Everything else is tested on pseudo-terminals.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_device.h"
#include "tests/support/event_log.h"

namespace wick::test {

// What the fake devices share with the test: the calls they saw, the failures to inject, the bytes
// written, and the bytes waiting to be read.
struct FakeLine {
  std::mutex mu;
  std::condition_variable cv;
  EventLog* log = nullptr;          // optional: writes are recorded as "write N"
  std::vector<std::string> calls;   // "Open(COM1)", "GetState", "SetMask(1)", ...
  std::map<std::string, int> fail;  // operation name -> errno it fails with
  bool openFails = false;
  int openError = 2;               // ENOENT
  uint32_t writeChunk = 0;         // > 0: each Write takes at most this many bytes
  bool writeTakesNothing = false;  // Write succeeds without taking a byte
  std::vector<uint8_t> written;
  std::vector<std::vector<uint8_t>> writes;  // one entry per Write call
  std::deque<uint8_t> incoming;
  bool hungUp = false;
  bool cancelled = false;

  void Feed(const std::vector<uint8_t>& bytes);
  // Makes an operation fail with err (0: stop failing it); safe while a thread uses the device.
  void Fail(const std::string& op, int err);
  void HangUp();
  std::vector<std::string> Calls();
};

class FakeSerialDevices : public platform::SerialDeviceProvider {
 public:
  explicit FakeSerialDevices(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}
  std::unique_ptr<platform::SerialDevice> Open(const std::string& name) override;

 private:
  std::shared_ptr<FakeLine> line_;
};

}  // namespace wick::test
