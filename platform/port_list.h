// The serial devices present on this machine, for the window's port list and `wickflash-cli ports`.
#pragma once

#include <string>
#include <vector>

namespace wick::platform {

struct SerialPortInfo {
  std::string path;  // /dev/ttyUSB0
  std::string byId;  // /dev/serial/by-id/usb-..., the stable name, when udev made one
};

// USB, ACM and platform UARTs that exist, sorted by path; /dev/ttyS* only where a driver claims the
// port (the kernel makes 4 or 32 of them whatever the hardware). devRoot is for tests.
std::vector<SerialPortInfo> ListSerialPorts(const std::string& devRoot = "/dev",
                                            const std::string& sysRoot = "/sys/class/tty");

}  // namespace wick::platform
