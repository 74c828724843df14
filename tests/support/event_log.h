// One ordered record of what the fakes saw (writes, pauses, calls), so that a test can check the
// exact sequence on the line.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace wick::test {

class EventLog {
 public:
  void Add(std::string event) {
    std::lock_guard lock(mu_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> Events() const {
    std::lock_guard lock(mu_);
    return events_;
  }
  void Clear() {
    std::lock_guard lock(mu_);
    events_.clear();
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> events_;
};

}  // namespace wick::test
