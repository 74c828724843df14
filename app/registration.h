// Registration of wickflash with the desktop: a freedesktop desktop entry that carries the
// program's AppID and its three kinds of image file, and the definitions of those file types.
#pragma once

#include <string>

namespace wick::app {

// The program's AppID, the same in the desktop entry and in the type definitions.
inline constexpr char kAppId[] = "{6B1F3C2A-8E47-4D5B-9A16-2C0F7E93B4D1}";

// $XDG_DATA_HOME when it is an absolute path, ~/.local/share otherwise.
std::string DataHome();
// Where registration writes: DataHome()/applications/wickflash.desktop and
// DataHome()/mime/packages/wickflash.xml.
std::string DesktopEntryPath();
std::string MimePackagePath();

// The desktop entry for the program at programPath.
std::string DesktopEntry(const std::string& programPath);

// Writes both files (creating their folders, which unregistration leaves in place). False, with
// the reason, when a file cannot be written; the program ends the same way either way.
bool RegisterServer(const std::string& programPath, std::string& error);
// Removes both files; files that are not there count as removed.
bool UnregisterServer(std::string& error);

}  // namespace wick::app
