// The host's main thread: a FIFO of tasks run on whichever thread pumps the runner.
//
// post() may be called from any thread. The pumping thread is "the main thread": calls are
// delivered and replies given there. Tasks run in posting order, one at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace velmo::host {

class TaskRunner {
 public:
  using Task = std::function<void()>;

  // The thread that constructs the runner is its main thread until another thread pumps it.
  TaskRunner();
  TaskRunner(const TaskRunner&) = delete;
  TaskRunner& operator=(const TaskRunner&) = delete;

  void post(Task task);

  // Runs the tasks already queued, and those they post, until the queue is empty.
  void runUntilIdle();
  // Runs tasks as they arrive until |done| holds (checked after each task) or |timeout|
  // passes. Returns whether |done| held.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

  bool isCurrentThread() const;

 private:
  bool runOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::thread::id thread_;
};

}  // namespace velmo::host
