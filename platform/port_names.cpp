#include "platform/port_names.h"

#include <cctype>

namespace wick::platform {

std::string DevicePathForPort(std::string_view name) {
  if (name.size() > 3 && name.size() <= 3 + 9) {
    bool com = std::tolower(static_cast<unsigned char>(name[0])) == 'c' &&
               std::tolower(static_cast<unsigned char>(name[1])) == 'o' &&
               std::tolower(static_cast<unsigned char>(name[2])) == 'm';
    unsigned long n = 0;
    for (size_t i = 3; com && i < name.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
        com = false;
      } else {
        n = n * 10 + static_cast<unsigned long>(name[i] - '0');
      }
    }
    if (com && n >= 1) {
      return "/dev/ttyS" + std::to_string(n - 1);
    }
  }
  return std::string(name);
}

}  // namespace wick::platform
