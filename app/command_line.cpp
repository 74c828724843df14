#include "app/command_line.h"

#include <strings.h>

#include <cstring>

namespace wick::app {

std::string BuildCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i != 0) {
      line += ' ';
    }
    line += args[i];
  }
  return line;
}

const char* CTavLoaderModule::FindSwitch(const char* text, const char* set) {
  for (const char* p = text; *p != '\0'; ++p) {
    for (const char* s = set; *s != '\0'; ++s) {
      if (*p == *s) {
        return p + 1;
      }
    }
  }
  return nullptr;
}

CTavLoaderModule::Registration CTavLoaderModule::ScanForRegistration(
    const std::string& commandLine) {
  static constexpr char kSwitchChars[] = "-/";
  // Each candidate is compared with the whole rest of the line: a "-" inside the program's path,
  // or a switch followed by anything, does not match, and the scan goes on after it.
  for (const char* t = FindSwitch(commandLine.c_str(), kSwitchChars); t != nullptr;
       t = FindSwitch(t, kSwitchChars)) {
    if (strcasecmp(t, "UnregServer") == 0) {
      return Registration::kUnregister;
    }
    if (strcasecmp(t, "RegServer") == 0) {
      return Registration::kRegister;
    }
  }
  return Registration::kNone;
}

bool HasEmbeddingSwitch(const std::vector<std::string>& args) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || (arg[0] != '-' && arg[0] != '/')) {
      continue;
    }
    const char* name = arg.c_str() + 1;
    if (strcasecmp(name, "Embedding") == 0 || strcasecmp(name, "Automation") == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace wick::app
