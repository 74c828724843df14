#include "serial/rx_thread.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "serial/sock_rs232c1.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_device.h"
#include "tests/support/pty.h"
#include "tests/support/recording_owner.h"

namespace wick {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const Bytes kHeader = {0xFD, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};
const Bytes kHeader2 = {0xFD, 0x00, 0x10, 0x21, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

DCB BoxLine() {
  DCB dcb;
  dcb.BaudRate = 115200;
  return dcb;
}

// A port on a pseudo-terminal with its receive thread running and an owner on a protocol thread.
class RxOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    port.m_pOwner = &owner;
    ASSERT_EQ(port.InitPort(4096), 1);
    ASSERT_EQ(port.OpenPort(BoxLine(), pty.slavePath().c_str()), 1);
    rx = std::jthread([this](std::stop_token stop) {
      rxId = std::this_thread::get_id();
      RxThreadProc(stop, &port);
    });
  }
  void TearDown() override { StopRx(); }
  void StopRx() {
    rx.request_stop();
    if (rx.joinable()) {
      rx.join();
    }
  }
  // Feeds the bytes in one write, then waits until the hand-overs have been quiet for a while.
  std::vector<test::HandOver> Deliver(const Bytes& bytes) {
    pty.Write(bytes);
    size_t seen = 0;
    for (;;) {
      owner.WaitFor(seen + 1, 400ms);
      size_t now = owner.HandOvers().size();
      if (now == seen) {
        return owner.HandOvers();
      }
      seen = now;
    }
  }
  static std::vector<Bytes> Held(const std::vector<test::HandOver>& handOvers) {
    std::vector<Bytes> out;
    for (const auto& h : handOvers) {
      out.push_back(h.held);
    }
    return out;
  }

  test::Pty pty;
  ProtocolThread protocol;
  test::RecordingOwner owner{protocol.Queue()};
  CSockRS232C1 port;
  std::jthread rx;
  std::thread::id rxId;
};

struct FramingCase {
  const char* what;
  Bytes arriving;
  std::vector<Bytes> handOvers;
  Bytes heldAfter;
};

TEST_F(RxOnPty, AHeaderInTwoPartsIsHandedOverOnceComplete) {
  pty.Write(Bytes(kHeader.begin(), kHeader.begin() + 5));
  std::this_thread::sleep_for(150ms);
  EXPECT_TRUE(owner.HandOvers().empty());
  auto got = Deliver(Bytes(kHeader.begin() + 5, kHeader.end()));
  EXPECT_EQ(Held(got), std::vector<Bytes>{kHeader});
  StopRx();
  EXPECT_EQ(port.m_nRxCount, 0u);
}

TEST(RxFraming, FramingTable) {
  const FramingCase cases[] = {
      {"noise then a header", Cat({{0x01, 0x02, 0x03}, kHeader}), {kHeader}, {}},
      {"noise without a sync byte", {0x01, 0x02, 0xC5, 0x8D, 0x00}, {}, {}},
      {"11 bytes wait for more",
       Bytes(kHeader.begin(), kHeader.end() - 1),
       {},
       Bytes(kHeader.begin(), kHeader.end() - 1)},
      {"two headers at once", Cat({kHeader, kHeader2}), {Cat({kHeader, kHeader2}), kHeader2}, {}},
      {"13 bytes, the last no sync byte", Cat({kHeader, {0x07}}), {Cat({kHeader, {0x07}})}, {}},
      {"13 bytes, the last a sync byte", Cat({kHeader, {0xFD}}), {Cat({kHeader, {0xFD}})}, {0xFD}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::Pty pty;
    ProtocolThread protocol;
    test::RecordingOwner owner{protocol.Queue(), 120ms};
    CSockRS232C1 port;
    port.m_pOwner = &owner;
    ASSERT_EQ(port.InitPort(4096), 1);
    ASSERT_EQ(port.OpenPort(BoxLine(), pty.slavePath().c_str()), 1);
    std::thread::id rxId;
    std::jthread rx([&](std::stop_token stop) {
      rxId = std::this_thread::get_id();
      RxThreadProc(stop, &port);
    });
    pty.Write(c.arriving);
    size_t seen = 0;
    for (;;) {
      owner.WaitFor(seen + 1, 400ms);
      size_t now = owner.HandOvers().size();
      if (now == seen) {
        break;
      }
      seen = now;
    }
    rx.request_stop();
    rx.join();
    auto handOvers = owner.HandOvers();
    std::vector<Bytes> held;
    for (const auto& h : handOvers) {
      held.push_back(h.held);
      EXPECT_NE(h.thread, rxId) << "handled on the protocol thread";
      EXPECT_TRUE(h.stayedStill) << "the receive thread waits during the handling";
    }
    EXPECT_EQ(held, c.handOvers);
    Bytes left(port.m_pRxBuf.get(), port.m_pRxBuf.get() + port.m_nRxCount);
    EXPECT_EQ(left, c.heldAfter);
  }
}

TEST_F(RxOnPty, NothingIsReadOrHandedOverAfterTheThreadStops) {
  EXPECT_EQ(Held(Deliver(kHeader)), std::vector<Bytes>{kHeader});
  StopRx();
  port.ClosePort();
  pty.Write(kHeader2);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(owner.HandOvers().size(), 1u);
}

TEST_F(RxOnPty, TellsTheOwnerOnceWhenTheLineIsLost) {
  EXPECT_EQ(Held(Deliver(kHeader)).size(), 1u);
  pty.CloseMaster();
  ASSERT_TRUE(owner.WaitForLineState(2s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(owner.LineStates(), std::vector<int>{EIO});
}

// --- Cases that need the fake device ------------------------------------------------------------

class RxOnFake : public ::testing::Test {
 protected:
  void SetUp() override {
    port.m_pOwner = &owner;
    ASSERT_EQ(port.InitPort(4096), 1);
    ASSERT_EQ(port.OpenPort(BoxLine(), "COM1"), 1);
    line->calls.clear();
  }
  void Start() {
    rx = std::jthread([this](std::stop_token stop) { RxThreadProc(stop, &port); });
  }
  size_t Count(const std::string& call) {
    auto calls = line->Calls();
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
  }

  std::shared_ptr<test::FakeLine> line = std::make_shared<test::FakeLine>();
  test::FakeSerialDevices devices{line};
  test::FakeClock clock;
  ProtocolThread protocol;
  test::RecordingOwner owner{protocol.Queue()};
  CSockRS232C1 port{devices, clock};
  std::jthread rx;
};

TEST_F(RxOnFake, BeforeTheFirstByteNothingIsReadAndNothingHandedOver) {
  Start();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Count("ClearError"), 0u);
  EXPECT_EQ(Count("Read"), 0u);
  EXPECT_TRUE(owner.HandOvers().empty());
  rx.request_stop();
  rx.join();  // a thread blocked in its first wait stops too
}

TEST_F(RxOnFake, NeverHoldsMoreThanTheBufferAndLosesNoByte) {
  // 400 headers at once: more than the 4096-byte buffer. What does not fit waits in the device,
  // and every header reaches the owner, in order.
  Bytes stream;
  for (int i = 0; i < 400; ++i) {
    Bytes h = kHeader;
    h[8] = static_cast<uint8_t>(i >> 8);
    h[9] = static_cast<uint8_t>(i);
    stream.insert(stream.end(), h.begin(), h.end());
  }
  line->Feed(stream);
  Start();
  ASSERT_TRUE(owner.WaitFor(400, 30s));
  rx.request_stop();
  rx.join();
  auto handOvers = owner.HandOvers();
  ASSERT_EQ(handOvers.size(), 400u);
  for (size_t i = 0; i < handOvers.size(); ++i) {
    ASSERT_LE(handOvers[i].held.size(), 4096u);
    ASSERT_EQ(Bytes(handOvers[i].held.begin(), handOvers[i].held.begin() + 12),
              Bytes(stream.begin() + 12 * i, stream.begin() + 12 * (i + 1)))
        << i;
  }
  EXPECT_EQ(handOvers.front().held.size(), 4096u) << "the first read fills the buffer";
}

TEST_F(RxOnFake, AFailedStatusQueryEndsTheReadStepWithoutAHandOver) {
  line->Feed(kHeader);
  line->Fail("ClearError", EIO);
  Start();
  ASSERT_TRUE(owner.WaitForLineState(5s));
  EXPECT_TRUE(owner.HandOvers().empty());
  EXPECT_EQ(Count("Read"), 0u);
  line->Fail("ClearError", 0);  // the line comes back: its bytes are read and handed over
  ASSERT_TRUE(owner.WaitFor(1, 5s));
  EXPECT_EQ(owner.HandOvers()[0].held, kHeader);
  rx.request_stop();
  rx.join();
  EXPECT_EQ(owner.LineStates(), (std::vector<int>{EIO, 0}));
}

TEST_F(RxOnFake, AFailedReadStillHandsOverWhatIsHeld) {
  line->Feed(Cat({kHeader, kHeader2}));
  owner.onHandOver = [this](CSockRS232C1*) {
    if (owner.HandOvers().size() == 1) {
      // New bytes wait in the device, but the next read fails: nothing is added and the
      // second header, still held, goes out all the same.
      line->Fail("Read", EIO);
      line->Feed({0x11, 0x22});
    }
  };
  Start();
  ASSERT_TRUE(owner.WaitFor(2, 5s));
  rx.request_stop();
  rx.join();
  auto handOvers = owner.HandOvers();
  EXPECT_EQ(handOvers[0].held, Cat({kHeader, kHeader2}));
  EXPECT_EQ(handOvers[1].held, kHeader2);
  EXPECT_GE(Count("Read"), 2u);
}

}  // namespace
}  // namespace wick
