#include "serial/sock_rs232c1.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <numeric>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/debug_capture.h"
#include "tests/support/fake_serial_device.h"
#include "tests/support/pty.h"

namespace wick {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

DCB Line(uint32_t baud, uint8_t size, uint8_t parity, uint8_t stop) {
  DCB dcb;
  dcb.BaudRate = baud;
  dcb.ByteSize = size;
  dcb.Parity = parity;
  dcb.StopBits = stop;
  return dcb;
}

const DCB kBoxLine = Line(115200, 8, platform::NOPARITY, platform::ONESTOPBIT);

termios SlaveSettings(const test::Pty& pty) {
  int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  EXPECT_EQ(tcgetattr(fd, &t), 0);
  close(fd);
  return t;
}

// --- On a real pseudo-terminal ------------------------------------------------------------------

struct LineCase {
  DCB settings;
  speed_t speed;
  tcflag_t cflags;  // expected CSIZE | PARENB | PARODD | CSTOPB bits
};

TEST(PortOnPty, AppliesTheLineSettingsWhateverTheDeviceHadBefore) {
  const LineCase cases[] = {
      {kBoxLine, B115200, CS8},
      {Line(9600, 8, platform::NOPARITY, platform::TWOSTOPBITS), B9600, CS8 | CSTOPB},
      {Line(57600, 8, platform::NOPARITY, platform::ONESTOPBIT), B57600, CS8},
  };
  for (const auto& c : cases) {
    test::Pty pty;
    // A cooked, flow-controlled, slow line to start from.
    int fd = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    termios before{};
    tcgetattr(fd, &before);
    before.c_iflag |= IXON | IXOFF | ICRNL | INPCK | ISTRIP;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS6 | CRTSCTS | PARENB | CSTOPB;
    cfsetspeed(&before, B300);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &before), 0);
    close(fd);

    CSockRS232C1 port;
    ASSERT_EQ(port.InitPort(4096), 1);
    ASSERT_EQ(port.OpenPort(c.settings, pty.slavePath().c_str()), 1) << c.settings.BaudRate;
    EXPECT_EQ(port.IsOpen(), 1);

    termios t = SlaveSettings(pty);
    SCOPED_TRACE(c.settings.BaudRate);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), c.cflags);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u) << "no CTS handshake";
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK | ISTRIP), 0u) << "8-bit clean input";
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(port.m_dcb.fRtsControl, platform::RTS_CONTROL_ENABLE);
  }
}

TEST(PortOnPty, SettingsTheDeviceDoesNotTakeFailTheOpen) {
  // A pseudo-terminal always runs 8 bits without parity: a port asked for 7E1 must not pretend.
  test::Pty pty;
  test::DebugCapture debug;
  CSockRS232C1 port;
  port.InitPort(4096);
  EXPECT_EQ(port.OpenPort(Line(9600, 7, platform::EVENPARITY, platform::ONESTOPBIT),
                          pty.slavePath().c_str()),
            0);
  EXPECT_EQ(port.IsOpen(), 0);
  EXPECT_EQ(debug.Text(), "Set configuration port has problem(22).\r\n");
  // The device was released: the next attempt can have it.
  EXPECT_EQ(port.OpenPort(kBoxLine, pty.slavePath().c_str()), 1);
}

TEST(PortOnPty, PassesAll256ByteValuesUnchangedBothWays) {
  test::Pty pty;
  CSockRS232C1 port;
  port.InitPort(4096);
  ASSERT_EQ(port.OpenPort(kBoxLine, pty.slavePath().c_str()), 1);

  std::vector<uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  std::vector<uint8_t> reversed(all.rbegin(), all.rend());
  all.insert(all.end(), reversed.begin(), reversed.end());  // CR LF, XON, XOFF in both orders

  ASSERT_EQ(port.WritePort(all.data(), static_cast<uint32_t>(all.size())), 1);
  EXPECT_EQ(pty.Read(all.size(), 2s), all);

  pty.Write(all);
  std::vector<uint8_t> got;
  for (int i = 0; i < 200 && got.size() < all.size(); ++i) {
    uint8_t buf[512];
    uint32_t n = 0;
    ASSERT_TRUE(port.GetHandle()->Read(buf, sizeof buf, n));
    got.insert(got.end(), buf, buf + n);
    usleep(10000);
  }
  EXPECT_EQ(got, all);
}

TEST(PortOnPty, ASecondOpenOfTheSameDeviceFailsAndLeavesTheFirstAlone) {
  test::Pty pty;
  CSockRS232C1 first;
  first.InitPort(4096);
  ASSERT_EQ(first.OpenPort(kBoxLine, pty.slavePath().c_str()), 1);

  test::DebugCapture debug;
  CSockRS232C1 second;
  second.InitPort(4096);
  EXPECT_EQ(second.OpenPort(kBoxLine, pty.slavePath().c_str()), 0);
  EXPECT_EQ(second.IsOpen(), 0);
  EXPECT_EQ(second.LastError(), EBUSY);
  EXPECT_EQ(debug.Text(), "Get configuration port has problem.\r\n");

  // Opening the open port again fails too, and changes nothing.
  EXPECT_EQ(first.OpenPort(kBoxLine, pty.slavePath().c_str()), 0);
  EXPECT_EQ(first.IsOpen(), 1);
  uint8_t ping = 0x5A;
  EXPECT_EQ(first.WritePort(&ping, 1), 1);
  EXPECT_THAT(pty.Read(1, 1s), ElementsAre(0x5A));

  // Once the first has closed, the device can be had again.
  EXPECT_EQ(first.ClosePort(), 1);
  EXPECT_EQ(second.OpenPort(kBoxLine, pty.slavePath().c_str()), 1);
}

TEST(PortOnPty, ANameThatIsNoDeviceFailsWithTheConfigurationText) {
  const struct {
    const char* name;
    int error;
  } cases[] = {
      {"/dev/wickflash-no-such-device", ENOENT},
      {"COM4000", ENOENT},  // /dev/ttyS3999
      {"/dev/null", ENOTTY},
  };
  for (const auto& c : cases) {
    test::DebugCapture debug;
    CSockRS232C1 port;
    port.InitPort(4096);
    EXPECT_EQ(port.OpenPort(kBoxLine, c.name), 0) << c.name;
    EXPECT_EQ(port.IsOpen(), 0) << c.name;
    EXPECT_EQ(port.LastError(), c.error) << c.name;
    EXPECT_EQ(debug.Text(), "Get configuration port has problem.\r\n") << c.name;
  }
}

TEST(PortOnPty, BytesThatArrivedBeforeTheOpenAreDiscarded) {
  test::Pty pty;
  pty.Write({0xFD, 0x01, 0x02, 0x03});
  usleep(20000);
  CSockRS232C1 port;
  port.InitPort(4096);
  ASSERT_EQ(port.OpenPort(kBoxLine, pty.slavePath().c_str()), 1);
  uint32_t errors = 0;
  COMSTAT status{};
  ASSERT_TRUE(port.GetHandle()->ClearError(errors, status));
  EXPECT_EQ(status.cbInQue, 0u);
}

TEST(PortOnPty, ALineWhoseFarSideHungUpIsReportedLost) {
  test::Pty pty;
  CSockRS232C1 port;
  port.InitPort(4096);
  ASSERT_EQ(port.OpenPort(kBoxLine, pty.slavePath().c_str()), 1);
  uint32_t errors = 0;
  COMSTAT status{};
  EXPECT_TRUE(port.GetHandle()->ClearError(errors, status));
  pty.CloseMaster();
  EXPECT_FALSE(port.GetHandle()->ClearError(errors, status));
  EXPECT_EQ(port.GetHandle()->LastError(), EIO);
  // A port whose line is gone still closes, so that it can be opened afresh.
  EXPECT_EQ(port.ClosePort(), 1);
  EXPECT_EQ(port.IsOpen(), 0);
}

TEST(PortOnPty, AWriteThatTheFarSideNeverTakesEndsInsteadOfHanging) {
  test::Pty pty;
  CSockRS232C1 port;
  port.InitPort(4096);
  ASSERT_EQ(port.OpenPort(kBoxLine, pty.slavePath().c_str()), 1);
  // The box reads nothing: the pseudo-terminal's queues fill after some kilobytes, and a write
  // then gives up after its timeout (3 ms a byte plus 2 ms) instead of blocking for ever.
  std::vector<uint8_t> piece(1024, 0x55);
  int accepted = 0;
  while (accepted < 64 && port.WritePort(piece.data(), 1024) == 1) {
    ++accepted;
  }
  EXPECT_LT(accepted, 64);
  EXPECT_EQ(port.LastError(), ETIMEDOUT);
}

// --- Failure rows on the fake device ------------------------------------------------------------

class PortOnFake : public ::testing::Test {
 protected:
  std::shared_ptr<test::FakeLine> line = std::make_shared<test::FakeLine>();
  test::FakeSerialDevices devices{line};
  CSockRS232C1 port{devices};

  void SetUp() override { ASSERT_EQ(port.InitPort(4096), 1); }
};

TEST_F(PortOnFake, OpenRunsItsStepsInOrder) {
  DCB settings = Line(57600, 7, platform::EVENPARITY, platform::TWOSTOPBITS);
  settings.fOutxCtsFlow = 1;  // only the four line fields are taken
  ASSERT_EQ(port.OpenPort(settings, "COM1"), 1);
  EXPECT_THAT(line->Calls(), ElementsAre("Open(COM1)", "GetState", "SetMask(1)", "Setup(8192,8192)",
                                         "Purge(15)", "SetTimeouts(4294967295,0,1000,0,1000)",
                                         "SetState(57600,7,2,2,cts0,dsr0,rts1,xon100,xoff100)",
                                         "SetTimeouts(3,3,2,3,2)"));
}

TEST_F(PortOnFake, EachOpenFailureLeavesThePortClosedWithItsText) {
  const struct {
    const char* failing;  // "" = the device open itself fails
    const char* text;
    bool released;
  } cases[] = {
      {"", "Get configuration port has problem.\r\n", false},
      {"GetState", "Get configuration port has problem.\r\n", true},
      {"SetMask", "", true},
      {"Setup", "", true},
      {"Purge", "", true},
      {"SetTimeouts", "", true},
      {"SetState", "Set configuration port has problem(22).\r\n", true},
  };
  for (const auto& c : cases) {
    auto fakeLine = std::make_shared<test::FakeLine>();
    test::FakeSerialDevices fakes{fakeLine};
    CSockRS232C1 p{fakes};
    p.InitPort(4096);
    if (*c.failing == '\0') {
      fakeLine->openFails = true;
    } else {
      fakeLine->fail[c.failing] = EINVAL;
    }
    test::DebugCapture debug;
    EXPECT_EQ(p.OpenPort(kBoxLine, "COM2"), 0) << c.failing;
    EXPECT_EQ(p.IsOpen(), 0) << c.failing;
    EXPECT_EQ(debug.Text(), c.text) << c.failing;
    auto calls = fakeLine->Calls();
    EXPECT_EQ(!calls.empty() && calls.back() == "Close", c.released) << c.failing;
  }
}

TEST_F(PortOnFake, CloseDropsDtrBeforeReleasingAndIsANoOpWhenClosed) {
  EXPECT_EQ(port.ClosePort(), 1);
  EXPECT_THAT(line->Calls(), IsEmpty());

  ASSERT_EQ(port.OpenPort(kBoxLine, "COM1"), 1);
  line->calls.clear();
  EXPECT_EQ(port.ClosePort(), 1);
  EXPECT_EQ(port.IsOpen(), 0);
  EXPECT_THAT(line->Calls(), ElementsAre("SetMask(0)", "EscapeFunction(6)", "Purge(15)", "Close"));
  // The port can be opened again after a close.
  EXPECT_EQ(port.OpenPort(kBoxLine, "COM1"), 1);
}

TEST_F(PortOnFake, EachCloseFailureLeavesItsState) {
  const struct {
    const char* failing;
    int stillOpen;
    const char* text;
  } cases[] = {
      {"SetMask", 1, ""},
      {"EscapeFunction", 1, ""},
      {"Purge", 1, ""},
      {"Close", 0, "Port Closeing isn't successed.\r\n"},
  };
  for (const auto& c : cases) {
    auto fakeLine = std::make_shared<test::FakeLine>();
    test::FakeSerialDevices fakes{fakeLine};
    CSockRS232C1 p{fakes};
    p.InitPort(4096);
    ASSERT_EQ(p.OpenPort(kBoxLine, "COM1"), 1);
    fakeLine->fail[c.failing] = EIO;
    test::DebugCapture debug;
    EXPECT_EQ(p.ClosePort(), 0) << c.failing;
    EXPECT_EQ(p.IsOpen(), c.stillOpen) << c.failing;
    EXPECT_EQ(debug.Text(), c.text) << c.failing;
    fakeLine->fail.clear();
  }
}

TEST_F(PortOnFake, WriteContinuesAfterAPartialWriteAndEndsOnFailure) {
  ASSERT_EQ(port.OpenPort(kBoxLine, "COM1"), 1);
  std::vector<uint8_t> data(23);
  std::iota(data.begin(), data.end(), 1);

  line->writeChunk = 5;
  EXPECT_EQ(port.WritePort(data.data(), 23), 1);
  EXPECT_EQ(line->written, data);
  EXPECT_EQ(line->writes.size(), 5u);

  line->writeTakesNothing = true;  // a device that keeps accepting nothing ends the write
  EXPECT_EQ(port.WritePort(data.data(), 23), 0);

  line->writeTakesNothing = false;
  line->fail["Write"] = EIO;
  EXPECT_EQ(port.WritePort(data.data(), 23), 0);
  EXPECT_EQ(port.LastError(), EIO);
}

TEST_F(PortOnFake, GetRxDataCopiesTheHeldBytesWithoutConsumingThem) {
  uint8_t dest[8] = {};
  EXPECT_EQ(port.GetRxData(dest), 0u);
  port.m_pRxBuf[0] = 0xFD;
  port.m_pRxBuf[1] = 0x42;
  port.m_nRxCount = 2;
  EXPECT_EQ(port.GetRxData(dest), 2u);
  EXPECT_EQ(port.GetRxData(dest), 2u);
  EXPECT_EQ(dest[0], 0xFD);
  EXPECT_EQ(dest[1], 0x42);
}

}  // namespace
}  // namespace wick
