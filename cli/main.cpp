// wickflash-cli: the upgrade of a set-top box over a serial line, headless.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <filesystem>

#include "cli/flash.h"
#include "cli/info.h"
#include "cli/kinds.h"

namespace {

constexpr const char* kExitCodes =
    "Exit codes:\n"
    "  0    the box got the final checksum: the upgrade is complete\n"
    "  1    the command line is wrong\n"
    "  2    the port cannot be opened (missing, no permission, in use)\n"
    "  3    the image cannot be used (missing, unreadable, 2 GiB or more, bad trailer, too short)\n"
    "  4    the box went silent past -t, or the line was lost\n"
    "  130  interrupted (Ctrl-C or SIGTERM): the port is closed, DTR dropped\n";

std::string Self(const char* argv0) {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n > 0) {
    path[n] = '\0';
    return path;
  }
  return argv0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace wick::cli;
  CLI::App app{
      "wickflash-cli upgrades the software of a set-top box over a serial line: the box pulls the "
      "image in 8 KiB blocks, each checked by CRC-32.",
      "wickflash-cli"};
  app.require_subcommand(1);
  app.footer(kExitCodes);
  app.set_version_flag("--version", "wickflash-cli 1.2.0");

  FlashOptions flash;
  std::string kindText;
  int verbose = 0;
  CLI::App* flashCmd = app.add_subcommand(
      "flash", "Upgrade the box on PORT with IMAGE. Several -p run several boxes at once.");
  flashCmd
      ->add_option("-p,--port", flash.ports,
                   "Serial port: COM1 to COM9 (/dev/ttyS0 ...), or a device path such as "
                   "/dev/ttyUSB0 or /dev/serial/by-id/...; repeat for several boxes")
      ->required();
  flashCmd
      ->add_option("-k,--kind", kindText,
                   "What to upgrade: firmware, bootloader (boot loader and firmware), module, "
                   "channel (channel data), or the mode numbers 1 to 4")
      ->required();
  flashCmd
      ->add_option("-t,--timeout", flash.silenceSeconds,
                   "Fail when the box stays silent this many seconds")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  flashCmd->add_flag("-v,--verbose", verbose,
                     "-v shows the port, link and error trace lines; -vv every trace line");
  flashCmd->add_option("--log-dir", flash.logDir,
                       "Also write every trace line to DIR/[wickflash]YYYYMMDD.log");
  flashCmd
      ->add_option("--progress", flash.progress,
                   "bar (on the terminal), lines (one parseable line per block on stdout), none, "
                   "or auto: bar on a terminal, else lines")
      ->capture_default_str()
      ->check(CLI::IsMember({"auto", "bar", "lines", "none"}));
  flashCmd->add_option("IMAGE", flash.image, "The image file (.tav, .exx, .tvu)")->required();
  flashCmd->footer(kExitCodes);

  std::string infoImage;
  std::string infoKind;
  CLI::App* infoCmd = app.add_subcommand(
      "info",
      "Check and describe an image: size, kind, trailer CRC, blocks, blank blocks and "
      "how long each kind of transfer takes.");
  infoCmd->add_option("IMAGE", infoImage, "The image file")->required();
  infoCmd->add_option("-k,--kind", infoKind,
                      "Only this kind (firmware, bootloader, module, "
                      "channel, or 1 to 4); its problems fail with exit 3");

  CLI::App* portsCmd =
      app.add_subcommand("ports", "List the serial devices present, with their stable names.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? 0 : kExitUsage;
  }

  auto kindOf = [&](const std::string& text, int32_t& mode) {
    const Kind* kind = FindKind(text);
    if (kind == nullptr) {
      std::fprintf(stderr,
                   "unknown kind '%s': use firmware, bootloader, module, channel or 1 to 4\n",
                   text.c_str());
      return false;
    }
    mode = kind->mode;
    return true;
  };

  if (*flashCmd) {
    flash.verbosity = verbose;
    if (!kindOf(kindText, flash.mode)) {
      return kExitUsage;
    }
    InstallStopHandlers();
    return RunFlash(flash, Self(argv[0]));
  }
  if (*infoCmd) {
    int32_t mode = 0;
    if (!infoKind.empty() && !kindOf(infoKind, mode)) {
      return kExitUsage;
    }
    return RunInfo(infoImage, mode);
  }
  if (*portsCmd) {
    return RunPorts();
  }
  return kExitUsage;
}
