#include "platform/dispatch/timer.h"

#include "platform/dispatch/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace velmora {
namespace {

using std::chrono::milliseconds;

// Timers fire in deadline order: once this one has, every timer due before it has too (or never will).
void waitForTimer(SerialQueue& queue, milliseconds delay) {
  std::promise<void> fired;
  Timer::once(queue.context(), delay, [&] { fired.set_value(); });
  ASSERT_EQ(fired.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// Cancelled from another thread while due but before the queue could run it.
TEST(TimerTest, CancelBeforeFireMeansItNeverRunsAndReleasesTheWorkAndTheTimer) {
  SerialQueue queue("com.velmora.test.timer");
  auto held = std::make_shared<int>(0);
  std::weak_ptr<int> watchedWork = held;
  std::atomic<bool> ran{false};
  std::promise<void> cancelled;  // keeps the queue busy so the due timer cannot fire first
  queue.post([cancelled = cancelled.get_future().share()] { cancelled.wait(); });
  auto timer = Timer::once(queue.context(), milliseconds(0), [&, held = std::move(held)] { ran = true; });
  std::weak_ptr<Timer> watchedTimer = timer;
  timer->cancel();
  timer.reset();
  cancelled.set_value();
  waitForTimer(queue, milliseconds(50));

  EXPECT_FALSE(ran);
  EXPECT_TRUE(watchedWork.expired());
  EXPECT_TRUE(watchedTimer.expired()) << "a cancelled timer must not keep itself alive";
}

TEST(TimerTest, RepeatingRunsOnTheQueueUntilCancelledWithAtMostTheRunUnderWay) {
  for (const bool cancelFromItsWork : {true, false}) {
    SCOPED_TRACE(cancelFromItsWork);
    SerialQueue queue("com.velmora.test.timer");
    std::atomic<int> runs{0};
    std::atomic<bool> onQueue{true};
    std::shared_ptr<Timer> timer;
    std::promise<void> threeRuns;
    queue.post([&] {
      timer = Timer::repeating(queue.context(), milliseconds(1), [&] {
        onQueue = onQueue && queue.isCurrentThread();
        if (++runs == 3) {
          if (cancelFromItsWork) {
            timer->cancel();
          }
          threeRuns.set_value();
        }
      });
    });
    ASSERT_EQ(threeRuns.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    timer->cancel();
    const int runsAtCancel = runs;
    waitForTimer(queue, milliseconds(50));

    EXPECT_LE(runs, cancelFromItsWork ? 3 : runsAtCancel + 1);
    EXPECT_TRUE(onQueue);
  }
}

}  // namespace
}  // namespace velmora
