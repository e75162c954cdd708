#include "platform/dispatch/cancellable_task.h"

#include "platform/log/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <thread>

namespace velmora {
namespace {

using std::chrono::milliseconds;

constexpr auto kEventTimeout = std::chrono::seconds(10);
constexpr auto kFarFuture = std::chrono::hours(1);

std::size_t threadCount() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST(CancellableTaskTest, CancelWakesSleepsAndAThrowFromTheBodyIsLoggedAndFinishesTheTask) {
  log::MemoryLogSink sink;
  std::promise<void> sleeping;
  std::vector<bool> slept;
  auto task = CancellableTask::start([&](CancellationToken& token) {
    slept.push_back(token.sleepFor(milliseconds(1)));
    sleeping.set_value();
    slept.push_back(token.sleepFor(kFarFuture));
    slept.push_back(token.sleepFor(kFarFuture));
    throw std::runtime_error("no display");
  });
  sleeping.get_future().wait();
  task->cancel();
  task->wait();

  EXPECT_EQ(slept, (std::vector<bool>{true, false, false}));
  EXPECT_TRUE(task->isFinished());
  EXPECT_EQ(sink.count(log::Level::error, "Uncaught exception in asynchronous task: no display"), 1u);
  std::thread::id lateCompletionThread;
  task->onCompletion([&] { lateCompletionThread = std::this_thread::get_id(); });
  EXPECT_EQ(lateCompletionThread, std::this_thread::get_id()) << "a finished task completes at once";
}

// The capture service drops its stop tasks; completions run on the task's thread, wherever released.
TEST(CancellableTaskTest, ReleasedTaskRunsToTheEndUncancelledAndCompletesOnItsThreadWhereverReleased) {
  for (const bool releasedByItsCompletion : {false, true}) {
    SCOPED_TRACE(releasedByItsCompletion);
    std::promise<void> release;
    std::promise<bool> cancelledInBody;
    std::thread::id bodyThread;
    std::promise<std::thread::id> completedOn;
    auto holder = std::make_shared<std::shared_ptr<CancellableTask>>();
    *holder = CancellableTask::start([&, release = release.get_future().share()](CancellationToken& token) {
      bodyThread = std::this_thread::get_id();
      release.wait();
      cancelledInBody.set_value(token.isCancelled());
    });
    (*holder)->onCompletion([holder, &completedOn] {
      holder->reset();
      completedOn.set_value(std::this_thread::get_id());
    });
    if (!releasedByItsCompletion) {
      holder->reset();
    }
    release.set_value();

    EXPECT_FALSE(cancelledInBody.get_future().get());
    EXPECT_EQ(completedOn.get_future().get(), bodyThread);
  }
}

// At exit: every task is cancelled and joined, follow-ups included; one deaf to it is let go.
TEST(CancellableTaskTest, CancelAllAndJoinEndsReleasedTasksAndThoseTheyStartAndLetsADeafOneGo) {
  log::MemoryLogSink sink;
  // A first thread may bring helper threads of the runtime (ThreadSanitizer's) along: counted after.
  CancellableTask::start([](CancellationToken&) {})->wait();
  CancellableTask::cancelAllAndJoin(kEventTimeout);
  const std::size_t threadsBefore = threadCount();
  std::atomic<int> cancelledSleeps{0};
  const auto sleepUntilCancelled = [&](CancellationToken& token) {
    cancelledSleeps += token.sleepFor(kFarFuture) ? 0 : 1;
  };
  CancellableTask::start(sleepUntilCancelled);
  CancellableTask::start([&](CancellationToken& token) {
    sleepUntilCancelled(token);
    CancellableTask::start(sleepUntilCancelled);
  });
  EXPECT_TRUE(CancellableTask::cancelAllAndJoin(kEventTimeout));
  EXPECT_EQ(cancelledSleeps, 3);
  EXPECT_EQ(threadCount(), threadsBefore) << "every task thread was joined";

  std::promise<void> release;
  auto deaf = CancellableTask::start([release = release.get_future().share()](CancellationToken&) { release.wait(); });
  EXPECT_FALSE(CancellableTask::cancelAllAndJoin(milliseconds(50)));
  EXPECT_EQ(sink.countContaining("Asynchronous task did not end when cancelled"), 1u);
  release.set_value();
  deaf->wait();
}

TEST(CancellableTaskDeathTest, ProcessExitCancelsAndJoinsRunningTasks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        CancellableTask::start([](CancellationToken& token) {
          token.sleepFor(kFarFuture);
          std::fputs("task ended before the process", stderr);
        });
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "task ended before the process");
}

}  // namespace
}  // namespace velmora
