// The main-thread stand-in: FIFO order, tasks posted by tasks, and posting from other threads.
#include "host/task_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace velmo::host {
namespace {

TEST(TaskRunner, RunsTasksInPostingOrderOnThePumpingThread) {
  TaskRunner runner;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  for (int i = 0; i < 5; ++i) {
    runner.post([&, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
    });
  }
  EXPECT_TRUE(order.empty());  // nothing runs until the runner is pumped
  runner.runUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(TaskRunner, TasksPostedByTasksRunAfterThoseAlreadyQueued) {
  TaskRunner runner;
  std::vector<int> order;
  runner.post([&] {
    order.push_back(1);
    runner.post([&] { order.push_back(3); });
  });
  runner.post([&] { order.push_back(2); });
  runner.runUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(TaskRunner, PostFromAnotherThreadRunsOnThePumpingThread) {
  TaskRunner runner;
  std::vector<int> order;  // touched only by tasks, so only by this thread
  std::atomic<bool> offMainThread{false};
  const auto mainId = std::this_thread::get_id();
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i) {
      runner.post([&, i] {
        if (std::this_thread::get_id() != mainId) offMainThread = true;
        order.push_back(i);
      });
    }
  });
  const bool done = runner.runUntil([&] { return order.size() == 1000; }, std::chrono::seconds(10));
  poster.join();
  ASSERT_TRUE(done);
  EXPECT_FALSE(offMainThread.load());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(order[i], i);
}

TEST(TaskRunner, RunUntilReportsAConditionThatNeverHolds) {
  TaskRunner runner;
  int ran = 0;
  runner.post([&] { ++ran; });
  EXPECT_FALSE(runner.runUntil([] { return false; }, std::chrono::milliseconds(20)));
  EXPECT_EQ(ran, 1);
}

TEST(TaskRunner, IsCurrentThreadFollowsThePump) {
  TaskRunner runner;
  EXPECT_TRUE(runner.isCurrentThread());
  bool inTask = false;
  std::thread other([&] {
    runner.post([&] { inTask = runner.isCurrentThread(); });
    runner.runUntilIdle();
  });
  other.join();
  EXPECT_TRUE(inTask);
  EXPECT_FALSE(runner.isCurrentThread());
}

}  // namespace
}  // namespace velmo::host
