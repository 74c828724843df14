// Captures the process-wide debug output for the life of the object.
#pragma once

#include <mutex>
#include <string>

#include "platform/debug_output.h"

namespace wick::test {

class DebugCapture {
 public:
  DebugCapture() {
    previous_ = platform::SetDebugSink([this](std::string_view text) {
      std::lock_guard lock(mu_);
      text_.append(text);
    });
  }
  ~DebugCapture() { platform::SetDebugSink(std::move(previous_)); }
  std::string Text() {
    std::lock_guard lock(mu_);
    return text_;
  }

 private:
  platform::DebugSink previous_;
  std::mutex mu_;
  std::string text_;
};

}  // namespace wick::test
