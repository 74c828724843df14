#include "protocol/serial_client1.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <future>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/fake_clock.h"
#include "tests/support/fake_serial_device.h"
#include "tests/support/pty.h"
#include "tests/support/recording_owner.h"

namespace wick {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;
using Bytes = std::vector<uint8_t>;

const Bytes kHeader = {0xFD, 0x00, 0x10, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC5, 0x8D};

DCB BoxLine() {
  DCB dcb;
  dcb.BaudRate = 115200;
  return dcb;
}

struct TraceLog {
  std::vector<std::pair<int, std::string>> lines;
  CSerialClient1::TraceSink Sink() {
    return [this](int level, const char* text) { lines.emplace_back(level, text); };
  }
};

TEST(SerialClient, StartsClearWithNothingOpen) {
  CSerialClient1 client;
  EXPECT_EQ(client.m_pFile, nullptr);
  EXPECT_EQ(client.m_nOffset, 0);
  EXPECT_EQ(client.m_nRecvLen, 0);
  EXPECT_EQ(client.m_nErrCount, 0);
  EXPECT_EQ(client.m_bUpgrade, 0);
  EXPECT_EQ(client.m_bBusy, 0);
  EXPECT_EQ(client.m_nThreadId, 0u);
  EXPECT_FALSE(client.m_hThread.joinable());
  EXPECT_EQ(client.IsOpen(), 0);
  EXPECT_TRUE(std::all_of(std::begin(client.m_ChunkBuf), std::end(client.m_ChunkBuf),
                          [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(std::begin(client.m_RecvBuf), std::end(client.m_RecvBuf),
                          [](uint8_t b) { return b == 0; }));
  // Without a sink a trace line goes nowhere.
  client.Trace(1, "nobody listens");
}

class ClientOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    client.m_pOwner = &owner;
    client.SetTraceSink(trace.Sink());
    ASSERT_EQ(client.InitPort(4096), 1);
  }

  test::Pty pty;
  ProtocolThread protocol;
  test::RecordingOwner owner{protocol.Queue()};
  TraceLog trace;
  CSerialClient1 client;
};

TEST_F(ClientOnPty, OpenStartsOneReceiveThreadAndASecondOpenChangesNothing) {
  ASSERT_EQ(client.Open(BoxLine(), pty.slavePath().c_str()), 1);
  EXPECT_TRUE(client.m_hThread.joinable());
  EXPECT_NE(client.m_nThreadId, 0u);
  EXPECT_STREQ(client.m_szPortName, pty.slavePath().c_str());
  EXPECT_THAT(trace.lines, ElementsAre(Pair(0, pty.slavePath() + " - Open Ok!")));

  auto thread = client.m_hThread.get_id();
  uint32_t id = client.m_nThreadId;
  EXPECT_EQ(client.Open(BoxLine(), "/dev/wickflash-elsewhere"), 1);
  EXPECT_EQ(client.m_hThread.get_id(), thread);
  EXPECT_EQ(client.m_nThreadId, id);
  EXPECT_EQ(trace.lines.size(), 1u);

  // The thread hands received bytes to the owner.
  pty.Write(kHeader);
  ASSERT_TRUE(owner.WaitFor(1, 5s));
  EXPECT_EQ(owner.HandOvers()[0].held, kHeader);
}

TEST_F(ClientOnPty, AFailedOpenTracesAndStartsNoThread) {
  EXPECT_EQ(client.Open(BoxLine(), "/dev/wickflash-no-such-port"), 0);
  EXPECT_FALSE(client.m_hThread.joinable());
  EXPECT_EQ(client.m_nThreadId, 0u);
  EXPECT_EQ(client.LastError(), ENOENT);
  EXPECT_THAT(trace.lines, ElementsAre(Pair(0, "/dev/wickflash-no-such-port - Open Failed..")));
}

TEST_F(ClientOnPty, CloseStopsTheThreadAndTheClosedPortSendsNothing) {
  EXPECT_EQ(client.Close(), 0) << "not open";
  EXPECT_THAT(trace.lines, IsEmpty());

  ASSERT_EQ(client.Open(BoxLine(), pty.slavePath().c_str()), 1);
  EXPECT_EQ(client.Close(), 1);
  EXPECT_FALSE(client.m_hThread.joinable());
  EXPECT_EQ(client.IsOpen(), 0);

  pty.Write(kHeader);
  std::this_thread::sleep_for(150ms);
  EXPECT_TRUE(owner.HandOvers().empty()) << "nothing is handed over after the close";

  trace.lines.clear();
  EXPECT_EQ(client.Send(kHeader.data(), 12), -1);
  EXPECT_THAT(trace.lines, ElementsAre(Pair(0, "Port not open.")));

  // Connecting again starts a new thread.
  ASSERT_EQ(client.Open(BoxLine(), pty.slavePath().c_str()), 1);
  EXPECT_TRUE(client.m_hThread.joinable());
}

TEST_F(ClientOnPty, ClosingFromInsideAHandOverDoesNotDeadlock) {
  // A handler that closes the port joins the receive thread that is waiting for that very
  // handler.
  owner.onHandOver = [this](CSockRS232C1*) { client.Close(); };
  ASSERT_EQ(client.Open(BoxLine(), pty.slavePath().c_str()), 1);
  pty.Write(kHeader);
  ASSERT_TRUE(owner.WaitFor(1, 5s));
  // The port's state belongs to the protocol thread: ask there.
  auto open = [&] {
    int state = 1;
    protocol.Queue().Send([&] { state = client.IsOpen(); });
    return state;
  };
  for (int i = 0; i < 200 && open(); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(open(), 0);
}

TEST(SerialClientLifetime, DestroyingTheClientWhileAHandOverWaitsEndsCleanly) {
  // The protocol thread is busy when the header arrives, so the receive thread waits in its
  // hand-over; then the protocol thread destroys the client. No deadlock, no handling of a
  // destroyed client.
  test::Pty pty;
  ProtocolThread protocol;
  test::RecordingOwner owner{protocol.Queue()};
  auto client = std::make_unique<CSerialClient1>();
  client->m_pOwner = &owner;
  client->InitPort(4096);
  ASSERT_EQ(client->Open(BoxLine(), pty.slavePath().c_str()), 1);

  std::promise<void> destroyed;
  protocol.Queue().Post([&] {
    pty.Write(kHeader);
    std::this_thread::sleep_for(300ms);
    client.reset();
    destroyed.set_value();
  });
  ASSERT_EQ(destroyed.get_future().wait_for(10s), std::future_status::ready);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(owner.HandOvers().empty());
}

class ClientOnFake : public ::testing::Test {
 protected:
  void SetUp() override {
    client.SetTraceSink(trace.Sink());
    client.InitPort(4096);
  }

  std::shared_ptr<test::FakeLine> line = std::make_shared<test::FakeLine>();
  test::FakeSerialDevices devices{line};
  test::FakeClock clock;
  TraceLog trace;
  CSerialClient1 client{devices, clock};
};

TEST_F(ClientOnFake, SendWritesThenPausesTenMillisecondsAndNothingForNoBytes) {
  ASSERT_EQ(client.Open(BoxLine(), "COM3"), 1);
  EXPECT_EQ(client.Send(kHeader.data(), 12), 0);
  EXPECT_EQ(line->writes, std::vector<Bytes>{kHeader});
  EXPECT_EQ(clock.Pauses(), std::vector<uint32_t>{10});

  EXPECT_EQ(client.Send(kHeader.data(), 0), 0);
  EXPECT_EQ(line->writes.size(), 1u);
  EXPECT_EQ(clock.Pauses().size(), 1u) << "no pause without a write";

  line->Fail("Write", EIO);
  EXPECT_EQ(client.Send(kHeader.data(), 12), 0) << "a failed write on an open port is not reported";
  EXPECT_EQ(clock.Pauses().size(), 2u);
}

TEST_F(ClientOnFake, AFailedCloseTracesAndKeepsServingTheOpenPort) {
  ASSERT_EQ(client.Open(BoxLine(), "COM3"), 1);
  trace.lines.clear();
  line->Fail("Purge", EIO);
  EXPECT_EQ(client.Close(), 0);
  EXPECT_THAT(trace.lines, ElementsAre(Pair(0, "COM3 - Close Failed..")));
  EXPECT_EQ(client.IsOpen(), 1);
  EXPECT_TRUE(client.m_hThread.joinable()) << "the still open port keeps its receive thread";

  line->Fail("Purge", 0);
  line->Fail("Close", EIO);
  EXPECT_EQ(client.Close(), 0);
  EXPECT_EQ(client.IsOpen(), 0);
  EXPECT_FALSE(client.m_hThread.joinable());
}

TEST(SerialClientFile, CloseFileClosesTheStreamOnce) {
  CSerialClient1 client;
  client.m_pFile = std::tmpfile();
  ASSERT_NE(client.m_pFile, nullptr);
  client.CloseFile();
  EXPECT_EQ(client.m_pFile, nullptr);
  client.CloseFile();  // a second fclose of the same stream would be caught by the sanitizers
  EXPECT_EQ(client.m_pFile, nullptr);
}

}  // namespace
}  // namespace wick
