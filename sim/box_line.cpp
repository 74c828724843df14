#include "sim/box_line.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

#include "sim/sim_box.h"

namespace wick::sim {

namespace {

// RunBox sees only a descriptor, so this table is how it lets go of the kept slave once the tool
// has opened its own: from then on the tool closing its side shows on the master as a hang-up.
std::mutex& KeptSlavesMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<int, int>& KeptSlaves() {
  static std::map<int, int> slaves;
  return slaves;
}

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string SystemReason() {
  return std::strerror(errno);
}

void KeepSlave(int master, int slave) {
  std::lock_guard lock(KeptSlavesMutex());
  KeptSlaves()[master] = slave;
}

void ReleaseKeptSlave(int master) {
  std::lock_guard lock(KeptSlavesMutex());
  auto it = KeptSlaves().find(master);
  if (it != KeptSlaves().end()) {
    close(it->second);
    KeptSlaves().erase(it);
  }
}

BoxPty::BoxPty() {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0) {
    error_ = "no pseudo-terminal: " + SystemReason();
    return;
  }
  char name[128];
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    error_ = "setting up the pseudo-terminal: " + SystemReason();
    close(master);
    return;
  }
  // Raw from the start, so that all 256 byte values pass even before the tool sets up its side.
  termios t{};
  if (tcgetattr(master, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
  }
  int keep = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keep < 0) {
    error_ = std::string("opening ") + name + ": " + SystemReason();
    close(master);
    return;
  }
  master_ = master;
  slave_path_ = name;
  KeepSlave(master_, keep);
}

BoxPty::~BoxPty() {
  Vanish();
}

void BoxPty::Vanish() {
  if (master_ >= 0) {
    ReleaseKeptSlave(master_);
    close(master_);
    master_ = -1;
  }
}

}  // namespace wick::sim
