#include "platform/termios_device.h"

#include <cerrno>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/pty.h"

namespace wick::platform {
namespace {

using namespace std::chrono_literals;

TEST(TermiosDevice, WaitEventWakesForBytesForACancelAndForAClearedMask) {
  test::Pty pty;
  auto dev = OpenTermiosDevice(pty.slavePath());
  ASSERT_TRUE(dev->IsValid());
  ASSERT_TRUE(dev->SetMask(EV_RXCHAR));

  auto wait = [&] {
    return std::async(std::launch::async, [&] {
      uint32_t events = 0;
      bool ok = dev->WaitEvent(events);
      return ok ? events : 0u;
    });
  };

  auto bytes = wait();
  EXPECT_EQ(bytes.wait_for(100ms), std::future_status::timeout) << "an idle line blocks";
  pty.Write({0x42});
  ASSERT_EQ(bytes.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(bytes.get(), EV_RXCHAR);
  uint8_t b = 0;
  uint32_t got = 0;
  ASSERT_TRUE(dev->Read(&b, 1, got));

  auto cancelled = wait();
  std::this_thread::sleep_for(50ms);
  dev->CancelWait();
  ASSERT_EQ(cancelled.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(cancelled.get(), 0u);

  auto unmasked = wait();
  std::this_thread::sleep_for(50ms);
  dev->SetMask(0);
  ASSERT_EQ(unmasked.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(unmasked.get(), 0u);
}

TEST(TermiosDevice, ModemLinesAreSkippedOnADeviceWithoutThem) {
  test::Pty pty;
  auto dev = OpenTermiosDevice(pty.slavePath());
  for (uint32_t f : {SETRTS, CLRRTS, SETDTR, CLRDTR}) {
    EXPECT_TRUE(dev->EscapeFunction(f)) << f;
  }
  EXPECT_FALSE(dev->EscapeFunction(99));
}

TEST(TermiosDevice, SettingsTheLineCannotTakeAreRefused) {
  test::Pty pty;
  auto dev = OpenTermiosDevice(pty.slavePath());
  DCB dcb;
  dcb.BaudRate = 115201;
  EXPECT_FALSE(dev->SetState(dcb));
  EXPECT_EQ(dev->LastError(), EINVAL);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 9;
  EXPECT_FALSE(dev->SetState(dcb));
  dcb.ByteSize = 8;
  EXPECT_TRUE(dev->SetState(dcb));
}

TEST(TermiosDevice, AClosedDeviceFailsEveryOperation) {
  test::Pty pty;
  auto dev = OpenTermiosDevice(pty.slavePath());
  ASSERT_TRUE(dev->Close());
  DCB dcb;
  uint32_t n = 0;
  EXPECT_FALSE(dev->GetState(dcb));
  EXPECT_FALSE(dev->Write("x", 1, n));
  EXPECT_EQ(dev->LastError(), EBADF);
}

}  // namespace
}  // namespace wick::platform
