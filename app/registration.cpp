#include "app/registration.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace wick::app {

namespace fs = std::filesystem;

namespace {

constexpr char kMimePackage[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">
  <mime-type type="application/x-wickflash-tav">
    <comment>Wickflash firmware image</comment>
    <glob pattern="*.tav"/>
  </mime-type>
  <mime-type type="application/x-wickflash-exx">
    <comment>Wickflash module image</comment>
    <glob pattern="*.exx"/>
  </mime-type>
  <mime-type type="application/x-wickflash-tvu">
    <comment>Wickflash channel data</comment>
    <glob pattern="*.tvu"/>
  </mime-type>
</mime-info>
)";

// A desktop entry's Exec value: quoted when the path holds a character the key treats specially.
std::string ExecValue(const std::string& path) {
  if (path.find_first_of(" \t\"'\\$`<>|&;*?#()") == std::string::npos) {
    return path;
  }
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') {
      quoted += "\\\\";
    }
    quoted += c;
  }
  return quoted + "\"";
}

// Written beside its place and renamed over it, so that a reader never sees half an entry.
bool WriteFile(const std::string& path, const std::string& text, std::string& error) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (ec) {
    error = fs::path(path).parent_path().string() + ": " + ec.message();
    return false;
  }
  std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      error = temp + ": " + std::strerror(errno);
      fs::remove(temp, ec);
      return false;
    }
  }
  fs::rename(temp, path, ec);
  if (ec) {
    error = path + ": " + ec.message();
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

bool RemoveFile(const std::string& path, std::string& error) {
  std::error_code ec;
  fs::remove(path, ec);
  if (ec) {
    error = path + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

std::string DataHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    return xdg;
  }
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.local/share";
}

std::string DesktopEntryPath() {
  return DataHome() + "/applications/wickflash.desktop";
}

std::string MimePackagePath() {
  return DataHome() + "/mime/packages/wickflash.xml";
}

std::string DesktopEntry(const std::string& programPath) {
  return std::string(
             "[Desktop Entry]\n"
             "Type=Application\n"
             "Version=1.5\n"
             "Name=Wickflash\n"
             "GenericName=Set-top box upgrade\n"
             "Comment=Upgrade the software of a set-top box over a serial line\n"
             "Exec=") +
         ExecValue(programPath) +
         "\n"
         "Icon=wickflash\n"
         "Terminal=false\n"
         "Categories=Utility;Electronics;\n"
         "MimeType=application/x-wickflash-tav;application/x-wickflash-exx;"
         "application/x-wickflash-tvu;\n"
         "X-Wickflash-AppID=" +
         kAppId + "\n";
}

bool RegisterServer(const std::string& programPath, std::string& error) {
  return WriteFile(DesktopEntryPath(), DesktopEntry(programPath), error) &&
         WriteFile(MimePackagePath(), kMimePackage, error);
}

bool UnregisterServer(std::string& error) {
  bool entry = RemoveFile(DesktopEntryPath(), error);
  bool types = RemoveFile(MimePackagePath(), error);
  return entry && types;
}

}  // namespace wick::app
