#include "platform/port_names.h"

#include <gtest/gtest.h>

namespace wick::platform {
namespace {

TEST(PortNames, ComNamesMapToSerialPortsAndEverythingElseIsAPath) {
  const struct {
    const char* name;
    const char* device;
  } cases[] = {
      {"COM1", "/dev/ttyS0"},
      {"com2", "/dev/ttyS1"},
      {"Com10", "/dev/ttyS9"},  // the whole name counts: COM10 is not COM1
      {"COM01", "/dev/ttyS0"},
      {"COM0", "COM0"},
      {"COM", "COM"},
      {"COM1x", "COM1x"},
      {"COM 1", "COM 1"},
      {"/dev/ttyUSB0", "/dev/ttyUSB0"},
      {"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0",
       "/dev/serial/by-id/usb-FTDI_FT232R-if00-port0"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DevicePathForPort(c.name), c.device) << '"' << c.name << '"';
  }
}

}  // namespace
}  // namespace wick::platform
