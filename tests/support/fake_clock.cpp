#include "tests/support/fake_clock.h"

#include <numeric>

namespace wick::test {

void FakeClock::Sleep(uint32_t ms) {
  std::lock_guard lock(mu_);
  pauses_.push_back(ms);
  now_ += ms;
  if (log_ != nullptr) {
    log_->Add("sleep " + std::to_string(ms));
  }
}

bool FakeClock::SleepFor(uint32_t ms, std::stop_token stop) {
  if (stop.stop_requested()) {
    return false;
  }
  Sleep(ms);
  return true;
}

int64_t FakeClock::NowMs() {
  std::lock_guard lock(mu_);
  return now_;
}

std::vector<uint32_t> FakeClock::Pauses() const {
  std::lock_guard lock(mu_);
  return pauses_;
}

uint64_t FakeClock::TotalMs() const {
  std::lock_guard lock(mu_);
  return std::accumulate(pauses_.begin(), pauses_.end(), uint64_t{0});
}

}  // namespace wick::test
