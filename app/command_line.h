// The command line of wickflash as the system gives it, and the switches looked for in it.
#pragma once

#include <string>
#include <vector>

namespace wick::app {

// The whole line: the program's path first, then each argument, joined by single spaces. An empty
// argument leaves its space, so "-RegServer" followed by "" is not a switch that ends the line.
std::string BuildCommandLine(const std::vector<std::string>& args);

// The server module of the program: it serves no classes, so all it keeps is the switch scan.
class CTavLoaderModule {
 public:
  // The position just after the first character of text that is in set, or null at the end.
  static const char* FindSwitch(const char* text, const char* set);

  // What the registration scan finds: a switch is recognised only when it runs to the end of the
  // line, compared without regard to case.
  enum class Registration { kNone, kRegister, kUnregister };
  static Registration ScanForRegistration(const std::string& commandLine);
};

// The embedding switches "Embedding" and "Automation", each a whole argument after "-" or "/", in
// any case (the arguments after the program's path).
bool HasEmbeddingSwitch(const std::vector<std::string>& args);

}  // namespace wick::app
