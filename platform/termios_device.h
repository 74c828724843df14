// The serial device on POSIX: a tty opened non-blocking and exclusively, driven through termios.
#pragma once

#include <memory>
#include <string>

#include "platform/serial_device.h"

namespace wick::platform {

// Opens a device path (not a port name: see DevicePathForPort). Exclusive use is TIOCEXCL plus a
// non-blocking flock, since root ignores TIOCEXCL.
std::unique_ptr<SerialDevice> OpenTermiosDevice(const std::string& path);

}  // namespace wick::platform
