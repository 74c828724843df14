// `wickflash-cli flash`: one upgrade run per port.
#pragma once

#include <string>
#include <vector>

#include "cli/reporter.h"

namespace wick::cli {

// The program's exit codes; `--help` and the README list them.
enum ExitCode {
  kExitOk = 0,     // the box got the final checksum
  kExitUsage = 1,  // the command line is wrong
  kExitPort = 2,   // the port cannot be opened
  kExitImage = 3,  // the image cannot be used
  kExitLine = 4,   // the box went silent past -t, or the line was lost
  kExitInterrupted = 130,
};

struct FlashOptions {
  std::vector<std::string> ports;
  int32_t mode = 0;
  std::string image;
  double silenceSeconds = 60;
  int verbosity = 0;  // 1: trace levels 0 and 1; 2: every level
  std::string logDir;
  std::string progress = "auto";  // auto, bar, lines, none
};

// The --progress value as a style: auto is the bar on a terminal, lines otherwise.
ProgressStyle StyleFor(const std::string& progress);

// Set once a stop was asked for (Ctrl-C, SIGTERM): the signal number.
int StopSignal();

// Runs the upgrade on each port: in this process for one port, one child process per port for
// several. Returns the exit code.
int RunFlash(const FlashOptions& options, const std::string& self);

// Several ports: one child process per port (the engine is one per process), their progress
// side by side, and a summary at the end. The first failing port's exit code, in port order.
int RunFlashOnPorts(const FlashOptions& options, const std::string& self);

// Installs the handlers that turn Ctrl-C (SIGINT) and SIGTERM into a clean stop.
void InstallStopHandlers();

}  // namespace wick::cli
