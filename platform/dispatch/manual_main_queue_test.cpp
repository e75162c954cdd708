#include "platform/dispatch/manual_main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace velmora {
namespace {

using std::chrono::milliseconds;

constexpr auto kEventTimeout = milliseconds(10000);

// Polls a condition that other threads make true, without running the queue.
bool becomesTrue(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

TEST(ManualMainQueueTest, NothingRunsUntilDrainedAndDrainRunsWorkQueuedMeanwhile) {
  ManualMainQueue queue;
  std::vector<int> order;
  queue.post([&] {
    order.push_back(1);
    queue.post([&] { order.push_back(3); });
  });
  queue.post([&] { order.push_back(2); });
  EXPECT_TRUE(order.empty());

  EXPECT_EQ(queue.drain(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(queue.drain(), 0u);
}

TEST(ManualMainQueueTest, AdvanceRunsDelayedWorkInDueTimeOrder) {
  ManualMainQueue queue;
  std::vector<std::string> order;
  auto record = [&](std::string what) { return [&, what] { order.push_back(what); }; };
  queue.postAfter(milliseconds(30), record("30"));
  queue.postAfter(milliseconds(10), record("10a"));
  queue.postAfter(milliseconds(20), [&] {
    order.push_back("20");
    queue.postAfter(milliseconds(5), record("25 queued at 20"));
    queue.post(record("posted at 20"));
  });
  queue.postAfter(milliseconds(10), record("10b"));
  queue.postAfter(milliseconds(0), record("no delay"));

  EXPECT_EQ(queue.advance(milliseconds(9)), 1u);
  EXPECT_EQ(queue.advance(milliseconds(16)), 5u);
  EXPECT_EQ(order, (std::vector<std::string>{"no delay", "10a", "10b", "20", "posted at 20", "25 queued at 20"}));
  EXPECT_EQ(queue.now(), milliseconds(25));
  EXPECT_EQ(queue.delayedCount(), 1u);
  EXPECT_EQ(queue.advance(milliseconds(5)), 1u);
  EXPECT_EQ(order.back(), "30");
}

TEST(ManualMainQueueTest, RunSyncFromAnotherThreadRunsWhileTheTestWaitsEvenWhenItShutsTheQueueDown) {
  ManualMainQueue queue;
  std::atomic<bool> ranOnMainThread{false};
  auto caller = std::async(std::launch::async, [&] { return queue.callSync([&] {
    ranOnMainThread = queue.isCurrentThread();
    queue.shutdown();  // the work has started: the caller still gets its answer
    return 7;
  }); });

  EXPECT_TRUE(queue.runUntil([&] { return caller.wait_for(milliseconds(0)) == std::future_status::ready; }, kEventTimeout));
  EXPECT_EQ(caller.get(), 7);
  EXPECT_TRUE(ranOnMainThread);
}

TEST(ManualMainQueueTest, ShutdownDropsQueuedWorkAndFailsTheWaitingRunSync) {
  ManualMainQueue queue;
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watched = held;
  queue.post([held = std::move(held)] {});
  queue.postAfter(milliseconds(10), [] {});
  std::atomic<bool> ran{false};
  auto caller = std::async(std::launch::async, [&] { return queue.runSync([&] { ran = true; }); });
  ASSERT_TRUE(becomesTrue([&] { return queue.readyCount() == 2; })) << "the caller's step is queued";

  queue.shutdown();
  ASSERT_EQ(caller.wait_for(kEventTimeout), std::future_status::ready);
  EXPECT_FALSE(caller.get());
  EXPECT_EQ(queue.drain() + queue.advance(milliseconds(20)), 0u);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(watched.expired());
  EXPECT_FALSE(queue.runSync([] {}));
}

}  // namespace
}  // namespace velmora
