#include "host/task_runner.h"

namespace velmo::host {

TaskRunner::TaskRunner() : thread_(std::this_thread::get_id()) {}

void TaskRunner::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
}

bool TaskRunner::runOne(std::unique_lock<std::mutex>& lock) {
  if (tasks_.empty()) return false;
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  lock.unlock();
  task();
  lock.lock();
  return true;
}

void TaskRunner::runUntilIdle() {
  std::unique_lock lock(mutex_);
  thread_ = std::this_thread::get_id();
  while (runOne(lock)) {
  }
}

bool TaskRunner::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(mutex_);
  thread_ = std::this_thread::get_id();
  for (;;) {
    lock.unlock();
    if (done()) return true;
    lock.lock();
    if (!runOne(lock)) {
      if (wake_.wait_until(lock, deadline) == std::cv_status::timeout && tasks_.empty()) {
        lock.unlock();
        return done();
      }
    }
  }
}

bool TaskRunner::isCurrentThread() const {
  std::lock_guard lock(mutex_);
  return thread_ == std::this_thread::get_id();
}

}  // namespace velmo::host
