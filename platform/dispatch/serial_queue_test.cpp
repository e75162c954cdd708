#include "platform/dispatch/serial_queue.h"

#include "platform/log/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
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

// The last reference may go inside its own work; what was queued after that work is dropped and let go.
TEST(SerialQueueTest, CanBeDestroyedByItsOwnWorkWhichDropsWhatFollows) {
  auto queue = std::make_shared<SerialQueue>("com.velmora.test.serial");
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watched = held;
  std::atomic<bool> laterRan{false};
  std::promise<void> postReturned;
  queue->post([&queue, postReturned = postReturned.get_future().share()] {
    postReturned.wait();
    queue.reset();
  });
  queue->post([&laterRan, held = std::move(held)] { laterRan = true; });
  postReturned.set_value();
  // The queue's thread lets go of the dropped work once the destroying work has returned.
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (!watched.expired() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(watched.expired());
  EXPECT_FALSE(laterRan);
}

}  // namespace
}  // namespace velmora
