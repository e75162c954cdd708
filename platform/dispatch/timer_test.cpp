#include "platform/dispatch/timer.h"

#include "platform/dispatch/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace velmora {
namespace {

using std::chrono::milliseconds;

constexpr auto kEventTimeout = std::chrono::seconds(10);
constexpr auto kFarFuture = std::chrono::hours(1);

// A one-shot timer due after `delay` has fired. Timers fire in deadline order, so every timer due
// before it has fired by then too (or never will).
void waitForTimer(SerialQueue& queue, milliseconds delay) {
  std::promise<void> fired;
  Timer::once(queue.context(), delay, [&] { fired.set_value(); });
  ASSERT_EQ(fired.get_future().wait_for(kEventTimeout), std::future_status::ready);
}

TEST(TimerTest, OneShotFiresOnceOnTheQueueEvenWhenDropped) {
  SerialQueue queue("com.velmora.test.timer");
  std::atomic<int> runs{0};
  std::atomic<bool> onQueue{false};
  Timer::once(queue.context(), milliseconds(1), [&] {
    ++runs;
    onQueue = queue.isCurrentThread();
  });
  waitForTimer(queue, milliseconds(20));

  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(onQueue);
}

TEST(TimerTest, CancelBeforeFireMeansItNeverRuns) {
  struct Case {
    const char* name;
    bool cancelOnQueue;
  };
  for (const Case& testCase : {Case{"from another thread", false}, Case{"from the queue", true}}) {
    SCOPED_TRACE(testCase.name);
    SerialQueue queue("com.velmora.test.timer");
    std::atomic<bool> ran{false};
    // The queue is kept busy until after the cancel, so the already due timer cannot fire first.
    std::shared_ptr<Timer> timer;
    if (testCase.cancelOnQueue) {
      queue.post([&] {
        timer = Timer::once(queue.context(), milliseconds(0), [&] { ran = true; });
        timer->cancel();
      });
    } else {
      std::promise<void> cancelled;
      queue.post([cancelled = cancelled.get_future().share()] { cancelled.wait(); });
      timer = Timer::once(queue.context(), milliseconds(0), [&] { ran = true; });
      timer->cancel();
      cancelled.set_value();
    }
    waitForTimer(queue, milliseconds(50));

    EXPECT_FALSE(ran);
    EXPECT_FALSE(timer->isActive());
  }
}

TEST(TimerTest, CancelReleasesTheWorkAndTheTimer) {
  SerialQueue queue("com.velmora.test.timer");
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watchedWork = held;
  auto timer = Timer::once(queue.context(), kFarFuture, [held = std::move(held)] {});
  std::weak_ptr<Timer> watchedTimer = timer;
  timer->cancel();
  timer.reset();
  waitForTimer(queue, milliseconds(1));

  EXPECT_TRUE(watchedWork.expired());
  EXPECT_TRUE(watchedTimer.expired()) << "a cancelled timer must not keep itself alive";
}

TEST(TimerTest, RepeatingRunsUntilCancelledFromInsideItsWork) {
  SerialQueue queue("com.velmora.test.timer");
  int runs = 0;
  std::shared_ptr<Timer> timer;
  std::promise<void> cancelled;
  queue.post([&] {
    timer = Timer::repeating(queue.context(), milliseconds(1), [&] {
      if (++runs == 3) {
        timer->cancel();
        cancelled.set_value();
      }
    });
  });
  ASSERT_EQ(cancelled.get_future().wait_for(kEventTimeout), std::future_status::ready);
  waitForTimer(queue, milliseconds(20));
  std::promise<int> counted;
  queue.post([&] { counted.set_value(runs); });

  EXPECT_EQ(counted.get_future().get(), 3);
}

TEST(TimerTest, CancelFromAnotherThreadStopsRepeatingWithAtMostTheRunUnderWay) {
  SerialQueue queue("com.velmora.test.timer");
  std::atomic<int> runs{0};
  std::promise<void> severalRuns;
  auto timer = Timer::repeating(queue.context(), milliseconds(1), [&] {
    if (++runs == 5) {
      severalRuns.set_value();
    }
  });
  ASSERT_EQ(severalRuns.get_future().wait_for(kEventTimeout), std::future_status::ready);
  timer->cancel();
  const int runsAtCancel = runs;
  waitForTimer(queue, milliseconds(50));

  EXPECT_LE(runs, runsAtCancel + 1);
}

TEST(TimerTest, TimersOfAStoppedQueueAreReleasedWithIt) {
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watched = held;
  {
    SerialQueue queue("com.velmora.test.timer");
    Timer::repeating(queue.context(), kFarFuture, [held = std::move(held)] {});
    queue.shutdown();
  }
  EXPECT_TRUE(watched.expired());
}

}  // namespace
}  // namespace velmora
