#include "platform/dispatch/serial_queue.h"

#include "platform/log/log.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <vector>

namespace velmora {
namespace {

constexpr auto kEventTimeout = std::chrono::seconds(10);

TEST(SerialQueueTest, RunsWorkInPostOrderOnItsOwnThreadAndKeepsRunningAfterAThrow) {
  log::MemoryLogSink sink;
  SerialQueue queue("com.velmora.test.serial");
  std::vector<int> order;
  bool allOnQueue = true;
  for (int index = 0; index < 1000; ++index) {
    queue.post([&, index] {
      order.push_back(index);
      allOnQueue = allOnQueue && queue.isCurrentThread();
    });
  }
  queue.post([] { throw std::runtime_error("boom"); });
  std::promise<void> reached;
  queue.post([&] { reached.set_value(); });
  ASSERT_EQ(reached.get_future().wait_for(kEventTimeout), std::future_status::ready);

  EXPECT_EQ(order.size(), 1000u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_TRUE(allOnQueue);
  EXPECT_FALSE(queue.isCurrentThread());
  EXPECT_EQ(sink.count(log::Level::error, "Uncaught exception on queue com.velmora.test.serial: boom"), 1u);
}

TEST(SerialQueueTest, ShutdownFromItsOwnWorkDropsWhatFollows) {
  auto queue = std::make_unique<SerialQueue>("com.velmora.test.serial");
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watched = held;
  bool laterRan = false;
  std::promise<void> shutDown;
  queue->post([&] {
    queue->shutdown();
    shutDown.set_value();
  });
  queue->post([&laterRan, held = std::move(held)] { laterRan = true; });
  ASSERT_EQ(shutDown.get_future().wait_for(kEventTimeout), std::future_status::ready);
  queue.reset();

  EXPECT_FALSE(laterRan);
  EXPECT_TRUE(watched.expired()) << "dropped work must release what it holds";
}

// The last reference goes inside the work, only once nobody else is inside a call on the queue.
TEST(SerialQueueTest, CanBeDestroyedByItsOwnWork) {
  auto queue = std::make_shared<SerialQueue>("com.velmora.test.serial");
  std::promise<void> postReturned;
  std::promise<void> destroyed;
  queue->post([&queue, &destroyed, postReturned = postReturned.get_future().share()] {
    postReturned.wait();
    queue.reset();
    destroyed.set_value();
  });
  postReturned.set_value();
  EXPECT_EQ(destroyed.get_future().wait_for(kEventTimeout), std::future_status::ready);
}

}  // namespace
}  // namespace velmora
