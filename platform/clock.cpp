#include "platform/clock.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace wick::platform {
namespace {

class SteadyClock final : public Clock {
 public:
  void Sleep(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

  bool SleepFor(uint32_t ms, std::stop_token stop) override {
    std::mutex mu;
    std::condition_variable_any cv;
    std::unique_lock lock(mu);
    // wait_for with a stop token returns true only when stop was requested.
    return !cv.wait_for(lock, stop, std::chrono::milliseconds(ms), [] { return false; });
  }

  int64_t NowMs() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

}  // namespace

Clock& RealClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace wick::platform
