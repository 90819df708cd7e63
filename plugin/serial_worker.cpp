#include "plugin/serial_worker.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace velmo {

struct SerialWorker::State {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Task> tasks;
  bool stopping = false;
  std::thread thread;

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return stopping || !tasks.empty(); });
      if (tasks.empty()) return;  // stopping and drained
      Task task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // release what the task held before taking the lock again
      lock.lock();
    }
  }
};

SerialWorker::SerialWorker(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {
  state_->thread = std::thread([state = state_] { state->run(); });
  // Thread names are limited to 15 characters.
  pthread_setname_np(state_->thread.native_handle(), label_.substr(0, 15).c_str());
}

SerialWorker::~SerialWorker() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  if (state_->thread.get_id() == std::this_thread::get_id()) {
    state_->thread.detach();
  } else {
    state_->thread.join();
  }
}

void SerialWorker::submit(Task task) {
  {
    std::lock_guard lock(state_->mutex);
    state_->tasks.push_back(std::move(task));
  }
  state_->wake.notify_one();
}

bool SerialWorker::isCurrentThread() const {
  return state_->thread.get_id() == std::this_thread::get_id();
}

}  // namespace velmo
