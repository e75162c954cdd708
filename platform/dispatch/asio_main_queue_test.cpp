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

// The host's quit signal arrives through a signal set on the context, so it ends the run too.
TEST(AsioMainQueueTest, RunsPostedAndDelayedWorkInOrderOnTheRunningThreadUntilShutDown) {
  AsioMainQueue queue;
  std::vector<std::string> order;
  bool allOnMainThread = true;
  auto record = [&](std::string what) {
    return [&, what] {
      order.push_back(what);
      allOnMainThread = allOnMainThread && queue.isCurrentThread();
    };
  };
  asio::signal_set signals(queue.context(), SIGUSR1);
  signals.async_wait([&](const std::error_code& error, int) {
    record(error ? "signal failed" : "signal")();
    queue.shutdown();
  });
  queue.postAfter(milliseconds(20), record("delayed"));
  queue.post(record("first"));
  queue.post(record("second"));
  queue.postAfter(milliseconds(40), [] { std::raise(SIGUSR1); });
  queue.run();

  EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "delayed", "signal"}));
  EXPECT_TRUE(allOnMainThread);
}

TEST(AsioMainQueueTest, RunSyncRunsOnTheMainThreadUntilShutdownFailsItsWaitingCaller) {
  AsioMainQueue queue;
  std::promise<void> running;
  queue.post([&] { running.set_value(); });
  std::thread mainThread([&] { queue.run(); });
  running.get_future().wait();

  std::atomic<bool> ranOnMainThread{false};
  EXPECT_TRUE(queue.runSync([&] { ranOnMainThread = queue.isCurrentThread(); }));
  EXPECT_TRUE(ranOnMainThread);
  EXPECT_EQ(queue.callSync([] { return 42; }), 42);
  std::promise<bool> nested;
  queue.post([&] { nested.set_value(queue.runSync([] {})); });
  EXPECT_TRUE(nested.get_future().get()) << "inline on the main thread";

  // The main thread is kept busy so that the next runSync stays queued until the shutdown.
  std::promise<void> release;
  std::promise<void> blocking;
  queue.post([&, release = release.get_future().share()] {
    blocking.set_value();
    release.wait();
  });
  blocking.get_future().wait();
  std::atomic<bool> ran{false};
  auto caller = std::async(std::launch::async, [&] { return queue.runSync([&] { ran = true; }); });
  queue.shutdown();
  ASSERT_EQ(caller.wait_for(kEventTimeout), std::future_status::ready);
  release.set_value();
  mainThread.join();

  EXPECT_FALSE(caller.get());
  EXPECT_FALSE(ran);
  EXPECT_EQ(queue.callSync([] { return 1; }), std::nullopt);
}

}  // namespace
}  // namespace velmora
