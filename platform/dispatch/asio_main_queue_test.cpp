#include "platform/dispatch/asio_main_queue.h"

#include <asio/signal_set.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <future>
#include <thread>
#include <vector>

namespace velmora {
namespace {

using std::chrono::milliseconds;

constexpr auto kEventTimeout = std::chrono::seconds(10);

// Runs the queue on a thread of its own, which then is the main thread.
class RunningMainQueue {
 public:
  // Returns once the queue runs on its thread, which is then the main thread.
  RunningMainQueue() : runner_([this] { queue.run(); }) {
    std::promise<void> running;
    queue.post([&] { running.set_value(); });
    running.get_future().wait();
  }
  ~RunningMainQueue() {
    queue.shutdown();
    runner_.join();
  }
  AsioMainQueue queue;

 private:
  std::thread runner_;
};

TEST(AsioMainQueueTest, RunsPostedAndDelayedWorkInOrderOnTheRunningThread) {
  AsioMainQueue queue;
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

TEST(AsioMainQueueTest, RunSyncRunsOnTheMainThreadAndInlineThere) {
  RunningMainQueue running;
  auto& queue = running.queue;
  std::atomic<bool> ranOnMainThread{false};
  EXPECT_TRUE(queue.runSync([&] { ranOnMainThread = queue.isCurrentThread(); }));
  EXPECT_TRUE(ranOnMainThread);
  EXPECT_EQ(queue.callSync([] { return 42; }), 42);

  std::promise<bool> nested;
  queue.post([&] {
    bool ranInline = false;
    queue.runSync([&] { ranInline = true; });
    nested.set_value(ranInline);
  });
  EXPECT_TRUE(nested.get_future().get());
}

TEST(AsioMainQueueTest, ShutdownWhileRunSyncWaitsReturnsFalseAndTheWorkNeverRuns) {
  RunningMainQueue running;
  auto& queue = running.queue;
  std::promise<void> release;
  std::promise<void> blocking;
  queue.post([&, release = release.get_future().share()] {
    blocking.set_value();
    release.wait();
  });
  blocking.get_future().wait();

  std::atomic<bool> ran{false};
  auto caller = std::async(std::launch::async, [&] {
    int onCallersStack = 0;
    return queue.runSync([&] {
      onCallersStack = 1;
      ran = true;
    });
  });
  queue.shutdown();
  ASSERT_EQ(caller.wait_for(kEventTimeout), std::future_status::ready);
  release.set_value();

  EXPECT_FALSE(caller.get());
  EXPECT_FALSE(ran);
  EXPECT_FALSE(queue.runSync([&] { ran = true; }));
  EXPECT_EQ(queue.callSync([] { return 1; }), std::nullopt);
}

TEST(AsioMainQueueTest, SignalSetOnTheContextCanShutItDown) {
  AsioMainQueue queue;
  asio::signal_set signals(queue.context(), SIGUSR1);
  bool onMainThread = false;
  signals.async_wait([&](const std::error_code& error, int) {
    onMainThread = !error && queue.isCurrentThread();
    queue.shutdown();
  });
  queue.post([] { std::raise(SIGUSR1); });
  queue.run();

  EXPECT_TRUE(onMainThread);
}

}  // namespace
}  // namespace velmora
