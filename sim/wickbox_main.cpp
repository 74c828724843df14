// wickbox: a simulated set-top box on a pseudo-terminal it creates or on a real serial device.
// Exit status: 0 when the upgrade run matched in every byte, 1 when a check failed, 2 on a usage or
// set-up error.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

#include "sim/sim_box.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailedCheck = 1;
constexpr int kExitSetup = 2;

std::string SystemReason() {
  return std::strerror(errno);
}

// Hexadecimal, with or without 0x, as codes are always written.
std::optional<uint16_t> ParseCode(const std::string& text) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 4 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(std::stoul(digits, nullptr, 16));
}

// A real serial line: raw 115200 8N1, no handshake, for our use alone.
int OpenDevice(const std::string& path, std::string& error) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + SystemReason() +
            (errno == EACCES ? " (is the user in the dialout group?)" : "");
    return -1;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = path + " is in use by another program";
    close(fd);
    return -1;
  }
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    error = path + " is not a serial device: " + SystemReason();
    close(fd);
    return -1;
  }
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    error = "cannot set up " + path + ": " + SystemReason();
    close(fd);
    return -1;
  }
  ioctl(fd, TIOCEXCL);
  tcflush(fd, TCIOFLUSH);
  return fd;
}

// The link to the slave path, made at start and removed at exit if it still points there.
class Link {
 public:
  bool Make(const std::string& path, const std::string& target, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        error = path + " exists and is not a symbolic link; not replacing it";
        return false;
      }
      unlink(path.c_str());  // a link left by an earlier run
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
      error = "cannot make the link " + path + ": " + SystemReason();
      return false;
    }
    path_ = path;
    target_ = target;
    return true;
  }

  ~Link() {
    if (path_.empty()) {
      return;
    }
    char buffer[4096];
    ssize_t n = readlink(path_.c_str(), buffer, sizeof buffer - 1);
    if (n >= 0 && std::string(buffer, static_cast<size_t>(n)) == target_) {
      unlink(path_.c_str());
    }
  }

 private:
  std::string path_;
  std::string target_;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "wickbox plays a set-top box for Wickflash: it waits for the tool's announcement, drives the "
      "upgrade run the way a box does, and checks every reply, block and CRC the tool sends.\n"
      "With --pty it makes a pseudo-terminal and prints the path the tool should open as the first "
      "line on stdout.",
      "wickbox"};
  bool usePty = false;
  std::string device;
  std::string linkPath;
  std::string code;
  std::string savePath;
  double timeoutSeconds = 10;
  double announceSeconds = 0;
  bool verbose = false;
  wick::sim::BoxOptions options;

  auto* pty = app.add_flag("--pty", usePty, "Make a pseudo-terminal and play the box on it");
  auto* dev = app.add_option("--device", device, "Play the box on this serial device instead")
                  ->type_name("PATH")
                  ->excludes(pty);
  app.add_option("--link", linkPath, "Make a symbolic link here to the pseudo-terminal's path")
      ->type_name("PATH")
      ->needs(pty);
  app.add_option("--code", code,
                 "Start-of-transfer code to send instead of the announced kind's own, in hex "
                 "(e.g. 0x1005)")
      ->type_name("CODE");
  app.add_option("--noise", options.noiseBytes, "Send N noise bytes before every header")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--bad-header-at", options.badHeaderAtBlock,
                 "Before block request K (from 0), send one header with a wrong end mark")
      ->type_name("K")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--vanish-mid-block", options.vanishMidBlock,
                 "Close the line halfway through the data of the block after N blocks")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--flood-at", options.floodAtBlock,
                 "Before block request K (from 0), send a flood of garbage (see --flood-bytes)")
      ->type_name("K")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--flood-bytes", options.floodBytes, "Size of the flood of garbage")
      ->type_name("N")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--resend-every", options.resendEvery,
                 "After every N-th block, ask for it once more")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--corrupt-every", options.corruptEvery,
                 "Corrupt every N-th data block received, so that it is asked for again")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--vanish-after", options.vanishAfterBlocks, "Close the line after N blocks")
      ->type_name("N")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--silent", options.silent, "Read the announcement, then never answer");
  app.add_option("--timeout", timeoutSeconds, "Seconds to wait for each answer of the tool")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--announce-timeout", announceSeconds,
                 "Seconds to wait for the announcement (0: until ended by a signal)")
      ->type_name("SECONDS")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--save", savePath, "Write the image received to this file")->type_name("FILE");
  app.add_flag("-v,--verbose", verbose, "Print each step checked on stderr");
  app.footer(
      "Exit status: 0 when the run matched, 1 when a check failed, 2 on a usage or set-up error.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? kExitOk : kExitSetup;
  }
  if (!usePty && dev->count() == 0) {
    std::cerr << "wickbox: give --pty or --device PATH (see --help)\n";
    return kExitSetup;
  }
  if (!code.empty()) {
    options.transferCode = ParseCode(code);
    if (!options.transferCode) {
      std::cerr << "wickbox: --code " << code << " is not a 16-bit hexadecimal code\n";
      return kExitSetup;
    }
  }
  options.answerTimeoutMs = static_cast<int>(timeoutSeconds * 1000);
  options.announcementTimeoutMs =
      announceSeconds > 0 ? static_cast<int>(announceSeconds * 1000) : 0;
  if (verbose) {
    options.log = [](const std::string& line) { std::cerr << "wickbox: " << line << std::endl; };
  }

  // SIGINT and SIGTERM become a stop request, taken by a thread of their own.
  sigset_t endSignals;
  sigemptyset(&endSignals);
  sigaddset(&endSignals, SIGINT);
  sigaddset(&endSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
  std::stop_source stopBox;
  std::jthread signalWatch([&](std::stop_token done) {
    timespec tick{0, 100'000'000};
    while (!done.stop_requested()) {
      if (sigtimedwait(&endSignals, nullptr, &tick) > 0) {
        stopBox.request_stop();
      }
    }
  });

  std::optional<wick::sim::BoxPty> boxPty;
  Link link;
  int fd = -1;
  if (usePty) {
    boxPty.emplace();
    if (!boxPty->ok()) {
      std::cerr << "wickbox: " << boxPty->error() << "\n";
      return kExitSetup;
    }
    std::string error;
    if (!linkPath.empty() && !link.Make(linkPath, boxPty->slavePath(), error)) {
      std::cerr << "wickbox: " << error << "\n";
      return kExitSetup;
    }
    std::cout << boxPty->slavePath() << std::endl;
    fd = boxPty->master();
  } else {
    std::string error;
    fd = OpenDevice(device, error);
    if (fd < 0) {
      std::cerr << "wickbox: " << error << "\n";
      return kExitSetup;
    }
  }

  wick::sim::BoxResult result = wick::sim::RunBox(fd, options, stopBox.get_token());
  if (!usePty) {
    close(fd);
  }

  if (!savePath.empty() && !result.image.empty()) {
    std::ofstream out(savePath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(result.image.data()),
              static_cast<std::streamsize>(result.image.size()));
    if (!out.flush()) {
      std::cerr << "wickbox: cannot write " << savePath << "\n";
      return kExitSetup;
    }
  }
  if (!result.ok) {
    std::cerr << "wickbox: " << result.failure << "\n";
    return kExitFailedCheck;
  }
  if (!options.silent) {
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08x", result.receivedCrc);
    std::cout << "upgrade received: " << result.announcedSize << " bytes, " << result.blocks
              << " blocks (" << result.blanks << " blank), crc " << crc << std::endl;
  }
  return kExitOk;
}
