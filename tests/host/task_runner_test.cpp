// The main-thread stand-in: tasks posted from any thread run on the pumping thread, in order.
#include "host/task_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velmo::host {
namespace {

TEST(TaskRunner, RunsTasksFromOtherThreadsInPostingOrderOnThePumpingThread) {
  TaskRunner runner;
  std::vector<int> order;  // touched only by tasks, so only by this thread
  std::atomic<bool> offPumpingThread{false};
  const auto pumpingThread = std::this_thread::get_id();
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i) {
      runner.post([&, i] {
        if (std::this_thread::get_id() != pumpingThread) offPumpingThread = true;
        order.push_back(i);
        // A task posted by a task queues behind everything already posted.
        if (i == 0) runner.post([&] { order.push_back(1000); });
      });
    }
  });
  poster.join();
  EXPECT_TRUE(order.empty());  // nothing runs until the runner is pumped
  ASSERT_TRUE(runner.runUntil([&] { return order.size() == 1001; }, std::chrono::minutes(10)));
  EXPECT_FALSE(offPumpingThread.load());
  for (int i = 0; i <= 1000; ++i) ASSERT_EQ(order[i], i);
}

}  // namespace
}  // namespace velmo::host
