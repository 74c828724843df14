#pragma once

#include <string>
#include <string_view>

namespace wick::platform {

// The device that a port name stands for. "COMn" (any case, n >= 1) is the n-th serial port,
// /dev/ttyS<n-1>; any other text is taken as a device path (/dev/ttyUSB0, /dev/serial/by-id/...).
std::string DevicePathForPort(std::string_view name);

}  // namespace wick::platform
