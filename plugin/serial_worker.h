// A serial queue: one thread running submitted tasks one at a time, in submission order.
//
// The queue's state lives in an object shared with its thread, so the worker may be
// destroyed from one of its own tasks (the last holder of its owner let go there): the
// destructor then detaches, and the thread ends once the queue is empty. Destroyed from any
// other thread, it runs the tasks still queued and joins.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace velmo {

class SerialWorker {
 public:
  using Task = std::function<void()>;

  explicit SerialWorker(std::string label);
  ~SerialWorker();
  SerialWorker(const SerialWorker&) = delete;
  SerialWorker& operator=(const SerialWorker&) = delete;

  const std::string& label() const { return label_; }
  void submit(Task task);
  bool isCurrentThread() const;

 private:
  struct State;
  std::string label_;
  std::shared_ptr<State> state_;
};

}  // namespace velmo
