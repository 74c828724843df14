#include "util/log_writer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include "platform/debug_output.h"
#include "util/format.h"

namespace wick {
namespace {

// Longest line written, "\r\n" included. A longer text is cut to fit, keeping the line end.
constexpr size_t kMaxLineChars = 5199;
// Longest file path accepted. A longer one is refused rather than cut, since a cut path could
// name some other file.
constexpr size_t kMaxPathChars = 519;

const char* OrEmpty(const char* s) {
  return s != nullptr ? s : "";
}

void EnsureFolder(const char* folder) {
  struct stat st;
  if (stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) {
    // Only the last level. A failure is not reported here: it shows as a file that cannot be
    // opened.
    mkdir(folder, 0755);
  }
}

// Appends line to path under an exclusive lock; false when the file could not be opened or
// another writer holds it, in which case nothing was written.
bool AppendLocked(const std::string& path, std::string_view line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return false;
  }
  // One write for the whole line, so that appends of other processes cannot split it.
  [[maybe_unused]] ssize_t written = write(fd, line.data(), line.size());
  flock(fd, LOCK_UN);
  close(fd);
  return true;
}

std::string WriteLogFrom(const LocalTime& now, const char* folder, const char* name,
                         const char* text, uint32_t nMode, int bQuiet) {
  if (nMode > 3) {
    return "-1";
  }
  std::string path;
  switch (nMode) {
    case 0:
      path = StringPrintf("%s/[%s]%04d%02d%02d.log", folder, name, now.wYear, now.wMonth, now.wDay);
      break;
    case 1:
      path = StringPrintf("%s/%s.log", folder, name);
      break;
    case 2:
      path = StringPrintf("%s/%04d%02d%02d.log", folder, now.wYear, now.wMonth, now.wDay);
      break;
    default:
      path = StringPrintf("%s/%s", folder, name);
      break;
  }

  std::string line = "[" + FormatLogTime(now) + "] ";
  std::string_view body(text);
  size_t room = kMaxLineChars - 2 > line.size() ? kMaxLineChars - 2 - line.size() : 0;
  line.append(body.substr(0, room));
  line.append("\r\n");

  if (path.size() > kMaxPathChars || !AppendLocked(path, line)) {
    return line;
  }
  if (bQuiet == 0) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }
  platform::DebugOutput(line);
  return line;
}

}  // namespace

LocalTime GetLocalTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm local{};
  localtime_r(&ts.tv_sec, &local);
  return LocalTime{
      .wYear = static_cast<uint16_t>(local.tm_year + 1900),
      .wMonth = static_cast<uint16_t>(local.tm_mon + 1),
      .wDayOfWeek = static_cast<uint16_t>(local.tm_wday),
      .wDay = static_cast<uint16_t>(local.tm_mday),
      .wHour = static_cast<uint16_t>(local.tm_hour),
      .wMinute = static_cast<uint16_t>(local.tm_min),
      .wSecond = static_cast<uint16_t>(local.tm_sec),
      .wMilliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000),
  };
}

std::string FormatLogTime(const LocalTime& t) {
  return StringPrintf("%04d-%02d-%02d %02d:%02d:%02d:%03d", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond, t.wMilliseconds);
}

std::string WriteLog(const char* folder, const char* name, const char* text, uint32_t nMode,
                     int bQuiet) {
  folder = OrEmpty(folder);
  EnsureFolder(folder);
  return WriteLogFrom(GetLocalTime(), folder, OrEmpty(name), OrEmpty(text), nMode, bQuiet);
}

std::string WriteLogAt(const LocalTime& now, const char* folder, const char* name, const char* text,
                       uint32_t nMode, int bQuiet) {
  folder = OrEmpty(folder);
  EnsureFolder(folder);
  return WriteLogFrom(now, folder, OrEmpty(name), OrEmpty(text), nMode, bQuiet);
}

}  // namespace wick
