#include "util/task_queue.h"

#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

namespace wick {
namespace {

using namespace std::chrono_literals;

TEST(TaskQueue, PostedAndSentTasksRunInOrderOnTheQueueThread) {
  ProtocolThread protocol;
  std::vector<int> order;
  std::thread::id ranOn;
  protocol.Queue().Post([&] { order.push_back(1); });
  protocol.Queue().Post([&] { order.push_back(2); });
  EXPECT_TRUE(protocol.Queue().Send([&] {
    order.push_back(3);
    ranOn = std::this_thread::get_id();
  }));
  // Send returns only after its task ran, so the vector is complete here.
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(TaskQueue, SendOnTheQueueThreadRunsAtOnce) {
  ProtocolThread protocol;
  bool inner = false;
  EXPECT_TRUE(protocol.Queue().Send([&] {
    EXPECT_TRUE(protocol.Queue().OnQueueThread());
    EXPECT_TRUE(protocol.Queue().Send([&] { inner = true; }));
  }));
  EXPECT_TRUE(inner);
}

TEST(TaskQueue, AStopBeforeTheTaskBeganDropsIt) {
  TaskQueue queue;  // nobody runs it yet
  std::stop_source stop;
  std::atomic<bool> ran{false};
  auto sent = std::async(std::launch::async,
                         [&] { return queue.Send([&] { ran = true; }, stop.get_token()); });
  std::this_thread::sleep_for(50ms);
  stop.request_stop();
  EXPECT_FALSE(sent.get());
  EXPECT_FALSE(queue.RunOne(50ms)) << "the dropped task is not run later";
  EXPECT_FALSE(ran);
}

TEST(TaskQueue, AStopFromAnotherThreadWaitsForARunningTask) {
  ProtocolThread protocol;
  std::stop_source stop;
  std::atomic<bool> finished{false};
  std::promise<void> started;
  auto sent = std::async(std::launch::async, [&] {
    return protocol.Queue().Send(
        [&] {
          started.set_value();
          std::this_thread::sleep_for(150ms);
          finished = true;
        },
        stop.get_token());
  });
  started.get_future().wait();
  stop.request_stop();
  // The task had begun: the sender waits for it, so whatever the task reads stays valid.
  EXPECT_TRUE(sent.get());
  EXPECT_TRUE(finished);
}

TEST(TaskQueue, AStopFromTheRunningTaskItselfReleasesTheSender) {
  ProtocolThread protocol;
  std::stop_source stop;
  std::promise<bool> result;
  std::thread sender([&] {
    result.set_value(protocol.Queue().Send([&] { stop.request_stop(); }, stop.get_token()));
  });
  // The task requests the stop from the queue's thread, as a handler that closes its own port
  // does: the sender must not wait for it, or the handler's join of the sender would never end.
  auto f = result.get_future();
  ASSERT_EQ(f.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(f.get());
  sender.join();
}

TEST(TaskQueue, ShutdownReleasesWaitingSendersAndRefusesNewTasks) {
  TaskQueue queue;
  auto sent = std::async(std::launch::async, [&] { return queue.Send([] {}); });
  std::this_thread::sleep_for(50ms);
  queue.Shutdown();
  EXPECT_FALSE(sent.get());
  EXPECT_FALSE(queue.Post([] {}));
  EXPECT_FALSE(queue.Send([] {}));
}

}  // namespace
}  // namespace wick
