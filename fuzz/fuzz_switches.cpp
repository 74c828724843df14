// The registration switches looked for in arbitrary command lines.
#include <string>
#include <vector>

#include "app/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  // A command line is a C string: it ends at the first NUL.
  line.resize(line.find('\0') == std::string::npos ? line.size() : line.find('\0'));
  using wick::app::CTavLoaderModule;
  for (const char* at = CTavLoaderModule::FindSwitch(line.c_str(), "-/"); at != nullptr;
       at = CTavLoaderModule::FindSwitch(at, "-/")) {
  }
  CTavLoaderModule::ScanForRegistration(line);
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t i = 0; i <= line.size(); ++i) {
    if (i == line.size() || line[i] == ' ') {
      args.push_back(line.substr(start, i - start));
      start = i + 1;
    }
  }
  wick::app::HasEmbeddingSwitch(args);
  wick::app::BuildCommandLine(args);
  return 0;
}
