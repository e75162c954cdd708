#include "platform/dispatch/manual_main_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora {
namespace {

using std::chrono::milliseconds;

// Controller tests lean on this: nothing runs until asked, then in due-time order, ties as queued.
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

}  // namespace
}  // namespace velmora
