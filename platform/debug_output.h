// The process-wide debug output: where port failures and the engine's debug lines go. Silent by
// default, on stderr when WICKFLASH_DEBUG=1, and capturable by tests and front ends.
#pragma once

#include <functional>
#include <string_view>

namespace wick::platform {

using DebugSink = std::function<void(std::string_view text)>;

// Hands text to the sink as it stands (OutputDebugStringA on the system's home platform).
void DebugOutput(std::string_view text);

// printf-style debug line (AfxTrace); composed in at most 512 characters.
[[gnu::format(printf, 1, 2)]] void DebugTrace(const char* format, ...);

// Replaces the sink and returns the one it replaced. An empty sink is silent.
DebugSink SetDebugSink(DebugSink sink);

}  // namespace wick::platform
