#include "cli/kinds.h"

#include <algorithm>
#include <cctype>

#include "protocol/client_owner.h"

namespace wick::cli {

const std::vector<Kind>& AllKinds() {
  static const std::vector<Kind> kinds = {
      {kModeFirmware, "firmware", "firmware", 0x1006, 0x1007, ".tav"},
      {kModeBootAndFirmware, "bootloader", "boot loader and firmware", 0x1004, 0x1005, ".tav"},
      {kModeModule, "module", "module", 0x1040, 0x1041, ".exx"},
      {kModeChannel, "channel", "channel data", 0x1042, 0x1043, ".tvu"},
  };
  return kinds;
}

const Kind* FindKind(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const Kind& k : AllKinds()) {
    if (lower == k.name || lower == std::to_string(k.mode)) {
      return &k;
    }
  }
  return nullptr;
}

const Kind& KindOfMode(int32_t mode) {
  for (const Kind& k : AllKinds()) {
    if (k.mode == mode) {
      return k;
    }
  }
  return AllKinds().front();
}

std::vector<const Kind*> KindsForFile(const std::string& path) {
  std::string ext;
  if (size_t dot = path.find_last_of('.');
      dot != std::string::npos && dot > path.find_last_of('/')) {
    ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  }
  std::vector<const Kind*> out;
  for (const Kind& k : AllKinds()) {
    if (ext == k.extension) {
      out.push_back(&k);
    }
  }
  return out;
}

}  // namespace wick::cli
