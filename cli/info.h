// `wickflash-cli info` and `wickflash-cli ports`.
#pragma once

#include <string>

namespace wick::cli {

// Describes an image: size, kind by extension, trailer check, and per start code the prepared
// size, blocks, blank blocks and the time the transfer takes. mode 0: every kind.
int RunInfo(const std::string& image, int32_t mode);

// Lists the serial devices present, with their stable by-id names.
int RunPorts();

}  // namespace wick::cli
