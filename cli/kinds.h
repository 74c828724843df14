// The four kinds of upgrade as the command line names them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace wick::cli {

struct Kind {
  int32_t mode;           // the window's mode value
  const char* name;       // as typed: firmware, bootloader, module, channel
  const char* title;      // in words
  uint16_t requestCode;   // the start request that announces it
  uint16_t transferCode;  // the start-of-transfer code the box answers with
  const char* extension;  // the image files of this kind
};

const std::vector<Kind>& AllKinds();
// A kind by name or by mode number (1 to 4); null when there is none.
const Kind* FindKind(std::string_view text);
const Kind& KindOfMode(int32_t mode);
// The kinds whose images have the file's extension (two for .tav).
std::vector<const Kind*> KindsForFile(const std::string& path);

}  // namespace wick::cli
