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

constexpr auto kEventTimeout = std::chrono::seconds(10);

class QtMainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::QtTestApplication::get("offscreen"); }
  // A quit queued by a shutdown that came before run() must not end the next test's loop early.
  void TearDown() override { QCoreApplication::processEvents(); }
};

TEST_F(QtMainQueueTest, RunsPostedAndDelayedWorkInOrderOnTheMainThread) {
  QtMainQueue queue;
  std::vector<std::string> order;
  bool allOnMainThread = true;
  auto record = [&](std::string what) {
    return [&, what] {
      order.push_back(what);
      allOnMainThread = allOnMainThread && queue.isCurrentThread();
    };
  };
  queue.postAfter(milliseconds(20), record("delayed"));
  queue.post(record("first"));
  queue.post(record("second"));
  queue.postAfter(milliseconds(40), [&] { queue.shutdown(); });
  queue.run();

  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "delayed"}));
  EXPECT_TRUE(allOnMainThread);
}

TEST_F(QtMainQueueTest, WorkFromOtherThreadsRunsOnTheMainThreadAndDelaysAreKept) {
  QtMainQueue queue;
  constexpr auto kDelay = milliseconds(200);
  std::atomic<bool> postedRanOnMainThread{false};
  std::atomic<bool> delayedRanOnMainThread{false};
  std::chrono::steady_clock::duration delayedAfter{};
  std::thread other([&] {
    EXPECT_FALSE(queue.isCurrentThread());
    queue.post([&] { postedRanOnMainThread = queue.isCurrentThread(); });
    const auto postedAt = std::chrono::steady_clock::now();
    queue.postAfter(kDelay, [&, postedAt] {
      delayedAfter = std::chrono::steady_clock::now() - postedAt;
      delayedRanOnMainThread = queue.isCurrentThread();
      queue.shutdown();
    });
  });
  queue.run();
  other.join();

  EXPECT_TRUE(postedRanOnMainThread);
  EXPECT_TRUE(delayedRanOnMainThread);
  EXPECT_GE(delayedAfter, kDelay);
}

TEST_F(QtMainQueueTest, RunSyncRunsOnTheMainThreadAndInlineThere) {
  QtMainQueue queue;
  std::atomic<bool> ranOnMainThread{false};
  std::optional<int> answer;
  std::thread other([&] {
    EXPECT_TRUE(queue.runSync([&] { ranOnMainThread = queue.isCurrentThread(); }));
    answer = queue.callSync([] { return 42; });
    queue.shutdown();
  });
  bool ranInline = false;
  queue.post([&] { queue.runSync([&] { ranInline = true; }); });
  queue.run();
  other.join();

  EXPECT_TRUE(ranOnMainThread);
  EXPECT_EQ(answer, 42);
  EXPECT_TRUE(ranInline);
}

TEST_F(QtMainQueueTest, ShutdownWhileRunSyncWaitsReturnsFalseAndTheWorkNeverRuns) {
  QtMainQueue queue;
  std::promise<void> release;
  std::promise<void> blocking;
  // The main thread is kept busy so that the runSync step stays queued.
  queue.post([&, release = release.get_future().share()] {
    blocking.set_value();
    release.wait();
  });
  std::atomic<bool> ran{false};
  std::future<bool> caller;
  std::thread orchestrator([&] {
    blocking.get_future().wait();
    caller = std::async(std::launch::async, [&] { return queue.runSync([&] { ran = true; }); });
    queue.shutdown();
    EXPECT_EQ(caller.wait_for(kEventTimeout), std::future_status::ready);
    release.set_value();
  });
  queue.run();
  orchestrator.join();

  EXPECT_FALSE(caller.get());
  EXPECT_FALSE(ran);
  EXPECT_FALSE(queue.runSync([&] { ran = true; }));
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

TEST_F(QtMainQueueTest, AnExceptionFromWorkIsLoggedAndTheQueueGoesOn) {
  log::MemoryLogSink logs;
  QtMainQueue queue;
  bool ranAfter = false;
  queue.post([] { throw std::runtime_error("broken work"); });
  queue.post([&] {
    ranAfter = true;
    queue.shutdown();
  });
  queue.run();

  EXPECT_TRUE(ranAfter);
  EXPECT_EQ(logs.count(log::Level::error, "Uncaught exception on the main queue: broken work"), 1u);
}

}  // namespace
}  // namespace velmora
