// An owner that takes WM_DATAREADY on a protocol thread of its own and records what each hand-over
// showed: the held bytes, the thread it ran on, and whether the held bytes stayed still while it
// ran (they must: the receive thread waits).
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "protocol/client_owner.h"
#include "util/task_queue.h"

namespace wick::test {

struct HandOver {
  std::vector<uint8_t> held;
  std::thread::id thread;
  bool stayedStill = true;
};

class RecordingOwner : public ClientOwner {
 public:
  // hold: how long each handling keeps the protocol thread, to show that the receive thread waits.
  explicit RecordingOwner(TaskQueue& queue, std::chrono::milliseconds hold = {})
      : queue_(queue), hold_(hold) {}

  bool SendMessage(uint32_t message, uintptr_t, CSockRS232C1* port, std::stop_token stop) override {
    if (message != WM_DATAREADY) {
      return false;
    }
    return queue_.Send([this, port] { Handle(port); }, stop);
  }

  void OnLineState(int error) override {
    std::lock_guard lock(mu_);
    lineStates_.push_back(error);
    cv_.notify_all();
  }

  // Runs on the protocol thread inside each hand-over, after the recording.
  std::function<void(CSockRS232C1*)> onHandOver;

  std::vector<HandOver> HandOvers() {
    std::lock_guard lock(mu_);
    return handOvers_;
  }
  std::vector<int> LineStates() {
    std::lock_guard lock(mu_);
    return lineStates_;
  }
  // Waits until at least n hand-overs were seen.
  bool WaitFor(size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return handOvers_.size() >= n; });
  }
  bool WaitForLineState(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return !lineStates_.empty(); });
  }

 private:
  void Handle(CSockRS232C1* port) {
    HandOver h;
    h.held.resize(port->m_nRxCount);
    port->GetRxData(h.held.data());
    h.thread = std::this_thread::get_id();
    if (hold_.count() > 0) {
      std::this_thread::sleep_for(hold_);
      std::vector<uint8_t> after(port->m_nRxCount);
      port->GetRxData(after.data());
      h.stayedStill = after == h.held;
    }
    {
      std::lock_guard lock(mu_);
      handOvers_.push_back(std::move(h));
      cv_.notify_all();
    }
    if (onHandOver) {
      onHandOver(port);
    }
  }

  TaskQueue& queue_;
  std::chrono::milliseconds hold_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<HandOver> handOvers_;
  std::vector<int> lineStates_;
};

}  // namespace wick::test
