#include "platform/debug_output.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace wick::platform {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mu;
  return mu;
}

DebugSink& Sink() {
  static DebugSink sink = []() -> DebugSink {
    const char* env = std::getenv("WICKFLASH_DEBUG");
    if (env != nullptr && std::strcmp(env, "1") == 0) {
      return [](std::string_view text) {
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
      };
    }
    return {};
  }();
  return sink;
}

}  // namespace

void DebugOutput(std::string_view text) {
  // The sink is called under the lock so that a sink being replaced is never running.
  std::lock_guard lock(SinkMutex());
  if (Sink()) {
    Sink()(text);
  }
}

void DebugTrace(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n < 0) {
    return;
  }
  DebugOutput(std::string_view(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1)));
}

DebugSink SetDebugSink(DebugSink sink) {
  std::lock_guard lock(SinkMutex());
  DebugSink previous = std::move(Sink());
  Sink() = std::move(sink);
  return previous;
}

}  // namespace wick::platform
