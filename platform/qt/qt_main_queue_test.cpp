#include "platform/qt/qt_main_queue.h"

#include "platform/log/log.h"
#include "platform/qt/qt_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velmora {
namespace {

using std::chrono::milliseconds;

class QtMainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::QtTestApplication::get("offscreen"); }
  // A quit queued by a shutdown that came before run() must not end the next test's loop early.
  void TearDown() override { QCoreApplication::processEvents(); }
};

TEST_F(QtMainQueueTest, RunsWorkFromAnyThreadInOrderOnTheMainThreadAndOutlivesAThrow) {
  log::MemoryLogSink logs;
  QtMainQueue queue;
  constexpr auto kDelay = milliseconds(200);
  std::vector<std::string> order;
  bool allOnMainThread = true;
  std::chrono::steady_clock::duration delayedAfter{};
  auto record = [&](std::string what) {
    return [&, what] {
      order.push_back(what);
      allOnMainThread = allOnMainThread && queue.isCurrentThread();
    };
  };
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

  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "delayed from another thread"}));
  EXPECT_TRUE(allOnMainThread);
  EXPECT_GE(delayedAfter, kDelay);
  EXPECT_EQ(logs.count(log::Level::error, "Uncaught exception on the main queue: broken work"), 1u);
}

TEST_F(QtMainQueueTest, RunSyncRunsOnTheMainThreadUntilShutdownFailsItsWaitingCaller) {
  QtMainQueue queue;
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
}

TEST_F(QtMainQueueTest, ShutdownDropsQueuedAndLaterWork) {
  QtMainQueue queue;
  bool ran = false;
  queue.post([&] { ran = true; });
  queue.postAfter(milliseconds(1), [&] { ran = true; });
  queue.shutdown();
  queue.post([&] { ran = true; });
  queue.run();  // returns at once
  testing::processEventsUntil([] { return false; }, milliseconds(100));

  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace velmora
