// A protocol client on the fake device and the fake clock, with no receive thread: tests call the
// engine directly and read what went out on the line, in order with the pauses.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/serial_client1.h"
#include "tests/support/event_log.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_device.h"

namespace wick::test {

using Bytes = std::vector<uint8_t>;

// An owner that hands nothing over (the tests call OnReceive themselves) and records the engine's
// events.
class EngineOwner : public ClientOwner {
 public:
  bool SendMessage(uint32_t, uintptr_t, CSockRS232C1*, std::stop_token) override { return false; }
  void OnEngineEvent(const EngineEvent& event) override { events.push_back(event); }
  std::vector<EngineEvent> events;
};

// A folder of its own for each test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "wickflash-XXXXXX").string();
    path_ = mkdtemp(templ.data()) != nullptr ? templ : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const Bytes& bytes) const {
    std::string file = path_ + "/" + name;
    FILE* f = std::fopen(file.c_str(), "wb");
    if (f != nullptr) {
      if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
      }
      std::fclose(f);
    }
    return file;
  }

 private:
  std::string path_;
};

class EngineFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    line->log = &log;
    client.m_pOwner = &owner;
    client.SetTraceSink(
        [this](int level, const char* text) { traces.emplace_back(level, std::string(text)); });
    ASSERT_EQ(client.InitPort(4096), 1);
    DCB dcb;
    dcb.BaudRate = 115200;
    ASSERT_EQ(client.OpenPort(dcb, "COM1"), 1);
    log.Clear();
  }

  // Records an image file as the window does when the operator chooses it.
  void ChooseImage(const std::string& name, const Bytes& bytes) {
    std::string path = dir.Write(name, bytes);
    std::snprintf(owner.m_szPathName, sizeof owner.m_szPathName, "%s", path.c_str());
    std::snprintf(owner.m_szFileName, sizeof owner.m_szFileName, "%s", name.c_str());
    owner.m_nFileSize = static_cast<int32_t>(bytes.size());
  }

  // Hands bytes to the engine as the window's handler does, with the run active.
  int Receive(const Bytes& bytes) {
    return client.OnReceive(bytes.data(), static_cast<uint32_t>(bytes.size()));
  }

  // Everything written to the line since the last call, one entry per write.
  std::vector<Bytes> TakeWrites() {
    std::vector<Bytes> out = std::move(line->writes);
    line->writes.clear();
    line->written.clear();
    return out;
  }

 public:
  // The box's header for a code, as it arrives: words high byte first, end mark C5 8D.
  static Bytes BoxHeader(uint16_t code, uint16_t arg = 0, uint16_t data1 = 0, uint16_t data2 = 0) {
    return {0xFD,
            0x00,
            static_cast<uint8_t>(code >> 8),
            static_cast<uint8_t>(code),
            static_cast<uint8_t>(arg >> 8),
            static_cast<uint8_t>(arg),
            static_cast<uint8_t>(data1 >> 8),
            static_cast<uint8_t>(data1),
            static_cast<uint8_t>(data2 >> 8),
            static_cast<uint8_t>(data2),
            0xC5,
            0x8D};
  }

 protected:
  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
  FakeSerialDevices devices{line};
  EventLog log;
  FakeClock clock{&log};
  EngineOwner owner;
  CSerialClient1 client{devices, clock};
  std::vector<std::pair<int, std::string>> traces;
  TempDir dir;
};

}  // namespace wick::test
