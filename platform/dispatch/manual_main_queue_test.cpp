#include "platform/dispatch/manual_main_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

namespace velmora {
namespace {

using std::chrono::milliseconds;

constexpr auto kEventTimeout = milliseconds(10000);

// Controller tests lean on this: nothing runs until drained, and delayed work keeps due-time order
// on the virtual clock (ties in the order queued), including work queued while advancing.
TEST(ManualMainQueueTest, DrainAndAdvanceRunWorkInOrderOnlyWhenAsked) {
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
  queue.post(record("posted"));
  EXPECT_TRUE(order.empty());

  EXPECT_EQ(queue.drain(), 1u);
  EXPECT_EQ(queue.advance(milliseconds(25)), 5u);
  EXPECT_EQ(order, (std::vector<std::string>{"posted", "10a", "10b", "20", "posted at 20", "25 queued at 20"}));
  EXPECT_EQ(queue.now(), milliseconds(25));
  EXPECT_EQ(queue.delayedCount(), 1u);
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
  EXPECT_FALSE(queue.runUntil([] { return false; }, milliseconds(20))) << "gives up after the timeout";
}

}  // namespace
}  // namespace velmora
