// The protocol thread's task queue. Every protocol operation runs on one thread, the queue's; other
// threads hand work to it with Post (fire and forget) or Send (wait until it has run). The receive
// thread's hand-over of received bytes is a Send: it blocks until the owner has handled the
// notification, which is the only exclusion between the two threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace wick {

class TaskQueue {
 public:
  using Task = std::function<void()>;

  TaskQueue() = default;
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;
  ~TaskQueue();

  // Queues the task and returns at once. False when the queue has shut down.
  bool Post(Task task);

  // Queues the task and waits until it has run on the queue's thread; called on that thread, runs
  // it at once. False when it did not run to completion for this caller: the queue shut down, or
  // stop was requested first (a task not yet begun is then dropped). A task that has begun is
  // waited for, unless the stop comes from the thread that is running it: that thread would
  // otherwise wait for itself. The task must therefore not refer to the caller's stack.
  bool Send(Task task, std::stop_token stop = {});

  // Runs tasks on the calling thread, which becomes the queue's thread, until stop is requested or
  // the queue shuts down.
  void Run(std::stop_token stop);

  // Runs at most one task, waiting up to timeout for one. True when a task ran.
  bool RunOne(std::chrono::milliseconds timeout);

  // Refuses new tasks, drops the waiting ones and releases every waiting Send.
  void Shutdown();

  bool OnQueueThread() const;

 private:
  enum class State { kPending, kRunning, kDone, kDropped };
  struct Item {
    Task task;
    State state = State::kPending;
    std::thread::id runner;
    bool abandoned = false;  // the Send that waited for it gave up
  };

  bool Enqueue(const std::shared_ptr<Item>& item);
  // Pops and runs one item; lock is held on entry and on return.
  void RunFront(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mu_;
  std::condition_variable_any cv_;
  std::deque<std::shared_ptr<Item>> items_;
  bool shutdown_ = false;
  std::thread::id thread_;
};

// A thread that runs a TaskQueue until it is destroyed.
class ProtocolThread {
 public:
  ProtocolThread();
  ~ProtocolThread();
  TaskQueue& Queue() { return queue_; }

 private:
  TaskQueue queue_;
  std::jthread thread_;
};

}  // namespace wick
