// printf into a std::string of whatever length the result needs.
#pragma once

#include <string>

namespace wick {

[[gnu::format(printf, 1, 2)]] std::string StringPrintf(const char* format, ...);

}  // namespace wick
