#include "util/task_queue.h"

namespace wick {

TaskQueue::~TaskQueue() {
  Shutdown();
}

bool TaskQueue::Enqueue(const std::shared_ptr<Item>& item) {
  std::lock_guard lock(mu_);
  if (shutdown_) {
    return false;
  }
  items_.push_back(item);
  cv_.notify_all();
  return true;
}

bool TaskQueue::Post(Task task) {
  auto item = std::make_shared<Item>();
  item->task = std::move(task);
  return Enqueue(item);
}

bool TaskQueue::Send(Task task, std::stop_token stop) {
  if (OnQueueThread()) {
    task();
    return true;
  }
  if (stop.stop_requested()) {
    return false;
  }
  auto item = std::make_shared<Item>();
  item->task = std::move(task);
  // The callback runs on the thread that requests the stop, so it can tell whether that thread is
  // the one running the task. It is registered before the task is queued, so that no stop goes
  // unseen, and it takes the lock itself: it is unregistered only after the lock is released.
  std::stop_callback onStop(stop, [this, item] {
    std::lock_guard lock(mu_);
    if (item->state == State::kPending) {
      item->state = State::kDropped;
    } else if (item->state == State::kRunning && item->runner == std::this_thread::get_id()) {
      item->abandoned = true;
    }
    cv_.notify_all();
  });
  if (!Enqueue(item)) {
    return false;
  }
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] {
    return item->state == State::kDone || item->state == State::kDropped || item->abandoned ||
           (shutdown_ && item->state == State::kPending);
  });
  if (item->state == State::kPending) {
    item->state = State::kDropped;
  }
  return item->state == State::kDone && !item->abandoned;
}

void TaskQueue::RunFront(std::unique_lock<std::mutex>& lock) {
  std::shared_ptr<Item> item = std::move(items_.front());
  items_.pop_front();
  if (item->state != State::kPending) {
    return;
  }
  item->state = State::kRunning;
  item->runner = std::this_thread::get_id();
  lock.unlock();
  item->task();
  lock.lock();
  item->state = State::kDone;
  item->task = nullptr;
  cv_.notify_all();
}

void TaskQueue::Run(std::stop_token stop) {
  std::unique_lock lock(mu_);
  thread_ = std::this_thread::get_id();
  while (!shutdown_) {
    if (!cv_.wait(lock, stop, [&] { return shutdown_ || !items_.empty(); })) {
      break;
    }
    if (!items_.empty()) {
      RunFront(lock);
    }
  }
}

bool TaskQueue::RunOne(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mu_);
  thread_ = std::this_thread::get_id();
  while (!shutdown_) {
    if (!cv_.wait_for(lock, timeout, [&] { return shutdown_ || !items_.empty(); })) {
      return false;
    }
    if (shutdown_) {
      break;
    }
    bool live = items_.front()->state == State::kPending;
    RunFront(lock);
    if (live) {
      return true;
    }
  }
  return false;
}

void TaskQueue::Shutdown() {
  std::lock_guard lock(mu_);
  shutdown_ = true;
  for (auto& item : items_) {
    if (item->state == State::kPending) {
      item->state = State::kDropped;
    }
  }
  items_.clear();
  cv_.notify_all();
}

bool TaskQueue::OnQueueThread() const {
  std::lock_guard lock(mu_);
  return thread_ == std::this_thread::get_id();
}

ProtocolThread::ProtocolThread() : thread_([this](std::stop_token stop) { queue_.Run(stop); }) {}

ProtocolThread::~ProtocolThread() {
  thread_.request_stop();
  if (thread_.joinable()) {
    thread_.join();
  }
  queue_.Shutdown();
}

}  // namespace wick
