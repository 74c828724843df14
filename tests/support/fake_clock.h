// A clock whose pauses take no time: it records each one and moves its own time on.
#pragma once

#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "tests/support/event_log.h"

namespace wick::test {

class FakeClock : public platform::Clock {
 public:
  explicit FakeClock(EventLog* log = nullptr) : log_(log) {}
  void Sleep(uint32_t ms) override;
  bool SleepFor(uint32_t ms, std::stop_token stop) override;
  int64_t NowMs() override;

  std::vector<uint32_t> Pauses() const;
  uint64_t TotalMs() const;

 private:
  mutable std::mutex mu_;
  EventLog* log_;
  std::vector<uint32_t> pauses_;
  int64_t now_ = 0;
};

}  // namespace wick::test
