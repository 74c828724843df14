// A protocol client on the fake device and the fake clock, for the fuzz targets: no receive
// thread, no real pauses.
#pragma once

#include <memory>

#include "protocol/serial_client1.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_device.h"

namespace wick::fuzz {

class Owner : public ClientOwner {
 public:
  bool SendMessage(uint32_t, uintptr_t, CSockRS232C1*, std::stop_token) override { return false; }
};

struct FuzzClient {
  explicit FuzzClient(bool open = true) {
    client.m_pOwner = &owner;
    client.InitPort(4096);
    if (open) {
      DCB dcb;
      dcb.BaudRate = 115200;
      client.OpenPort(dcb, "COM1");
    }
  }
  std::shared_ptr<test::FakeLine> line = std::make_shared<test::FakeLine>();
  test::FakeSerialDevices devices{line};
  test::FakeClock clock;
  Owner owner;
  CSerialClient1 client{devices, clock};
};

}  // namespace wick::fuzz
