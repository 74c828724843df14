// Real time at another speed: every pause takes `factor` of its length. Only for runs that exercise
// the protocol many times over against the simulated box (the fault runs); a real box needs the
// real pacing.
#pragma once

#include "platform/clock.h"

namespace wick::platform {

class ScaledClock final : public Clock {
 public:
  explicit ScaledClock(double factor) : factor_(factor) {}
  void Sleep(uint32_t ms) override { RealClock().Sleep(Scaled(ms)); }
  bool SleepFor(uint32_t ms, std::stop_token stop) override {
    return RealClock().SleepFor(Scaled(ms), stop);
  }
  int64_t NowMs() override { return RealClock().NowMs(); }

 private:
  uint32_t Scaled(uint32_t ms) const {
    auto scaled = static_cast<uint32_t>(ms * factor_);
    return ms > 0 && scaled == 0 ? 1 : scaled;
  }
  double factor_;
};

}  // namespace wick::platform
