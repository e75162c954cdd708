#pragma once

// What every main queue of the host (headless Asio, Qt) must do. Traits: `Queue`, `setUp()` run
// before each test, `settle()` to run what the queue still holds after run().

#include "platform/log/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

template <class Traits>
class MainQueueContractTest : public ::testing::Test {
 protected:
  void SetUp() override { Traits::setUp(); }
  void TearDown() override { Traits::settle(); }

  typename Traits::Queue mainQueue;
};

TYPED_TEST_SUITE_P(MainQueueContractTest);

TYPED_TEST_P(MainQueueContractTest, RunsWorkFromAnyThreadInOrderOnTheMainThreadAndOutlivesAThrow) {
  log::MemoryLogSink logs;
  auto& queue = this->mainQueue;
  constexpr auto kDelay = std::chrono::milliseconds(200);
  std::vector<std::string> order;
  bool allOnMainThread = true;
  std::chrono::steady_clock::duration delayedAfter{};
  auto record = [&](std::string what) {
    return [&, what] {
      order.push_back(what);
      allOnMainThread = allOnMainThread && queue.isCurrentThread();
    };
  };
  queue.postAfter(std::chrono::milliseconds(20), record("delayed"));
  queue.post(record("first"));
  queue.post([] { throw std::runtime_error("broken work"); });
  queue.post(record("second"));
  std::thread other([&] {
    EXPECT_FALSE(queue.isCurrentThread());
    const auto postedAt = std::chrono::steady_clock::now();
    queue.postAfter(kDelay, [&, postedAt] {
      delayedAfter = std::chrono::steady_clock::now() - postedAt;
      record("delayed from another thread")();
      queue.shutdown();
    });
  });
  queue.run();
  other.join();

  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "delayed", "delayed from another thread"}));
  EXPECT_TRUE(allOnMainThread);
  EXPECT_GE(delayedAfter, kDelay);
  EXPECT_EQ(logs.count(log::Level::error, "Uncaught exception on the main queue: broken work"), 1u);
}

TYPED_TEST_P(MainQueueContractTest, RunSyncRunsOnTheMainThreadUntilShutdownFailsItsWaitingCallerAndDropsLaterWork) {
  auto& queue = this->mainQueue;
  std::atomic<bool> ranOnMainThread{false};
  std::optional<int> answer;
  bool ranInline = false;
  std::promise<void> release;
  std::promise<void> blocking;
  std::atomic<bool> staleRan{false};
  std::future<bool> staleCaller;
  std::thread other([&] {
    EXPECT_TRUE(queue.runSync([&] { ranOnMainThread = queue.isCurrentThread(); }));
    answer = queue.callSync([] { return 42; });
    // The main thread is kept busy so that the next runSync stays queued until the shutdown.
    queue.post([&, release = release.get_future().share()] {
      queue.runSync([&] { ranInline = true; });
      blocking.set_value();
      release.wait();
    });
    blocking.get_future().wait();
    staleCaller = std::async(std::launch::async, [&] { return queue.runSync([&] { staleRan = true; }); });
    queue.shutdown();
    EXPECT_EQ(staleCaller.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    release.set_value();
  });
  queue.run();
  other.join();

  EXPECT_TRUE(ranOnMainThread);
  EXPECT_EQ(answer, 42);
  EXPECT_TRUE(ranInline);
  EXPECT_FALSE(staleCaller.get());
  EXPECT_FALSE(staleRan);
  EXPECT_EQ(queue.callSync([] { return 1; }), std::nullopt);
  queue.post([&] { staleRan = true; });
  queue.postAfter(std::chrono::milliseconds(1), [&] { staleRan = true; });
  queue.run();  // returns at once
  TypeParam::settle();
  EXPECT_FALSE(staleRan);
}

REGISTER_TYPED_TEST_SUITE_P(MainQueueContractTest, RunsWorkFromAnyThreadInOrderOnTheMainThreadAndOutlivesAThrow,
                            RunSyncRunsOnTheMainThreadUntilShutdownFailsItsWaitingCallerAndDropsLaterWork);

}  // namespace velmora::testing
