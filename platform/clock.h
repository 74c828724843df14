// Every pause of the protocol goes through one clock, so that tests can check pacing exactly with
// a fake clock and the programs use real time.
#pragma once

#include <cstdint>
#include <stop_token>

namespace wick::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  // A pause of the protocol (Sleep on the system's home platform).
  virtual void Sleep(uint32_t ms) = 0;
  // A pause that ends early when stop is requested; false when it did.
  virtual bool SleepFor(uint32_t ms, std::stop_token stop) = 0;
  // Milliseconds on a steady clock.
  virtual int64_t NowMs() = 0;
};

// Real time, shared by the whole process.
Clock& RealClock();

}  // namespace wick::platform
