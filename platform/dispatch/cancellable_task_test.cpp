#include "platform/dispatch/cancellable_task.h"

#include "platform/log/log.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>

namespace velmora {
namespace {

using std::chrono::milliseconds;

constexpr auto kEventTimeout = std::chrono::seconds(10);
constexpr auto kFarFuture = std::chrono::hours(1);

TEST(CancellableTaskTest, CancelWakesSleepForEarlyAndLaterSleepsEndAtOnce) {
  std::promise<void> sleeping;
  std::vector<bool> slept;
  auto task = CancellableTask::start([&](CancellationToken& token) {
    slept.push_back(token.sleepFor(milliseconds(1)));
    sleeping.set_value();
    slept.push_back(token.sleepFor(kFarFuture));
    slept.push_back(token.sleepFor(kFarFuture));
    slept.push_back(token.isCancelled());
  });
  sleeping.get_future().wait();
  task->cancel();
  task->wait();

  EXPECT_EQ(slept, (std::vector<bool>{true, false, false, true}));
  EXPECT_TRUE(task->isCancelled());
  EXPECT_TRUE(task->isFinished());
}

TEST(CancellableTaskTest, CompletionsRunOnceOnTheTaskThreadOrAtOnceWhenFinished) {
  std::promise<void> release;
  std::thread::id bodyThread;
  auto task = CancellableTask::start([&, release = release.get_future().share()](CancellationToken&) {
    bodyThread = std::this_thread::get_id();
    release.wait();
  });
  std::promise<std::thread::id> completedOn;
  task->onCompletion([&] { completedOn.set_value(std::this_thread::get_id()); });
  release.set_value();

  auto completionThread = completedOn.get_future();
  ASSERT_EQ(completionThread.wait_for(kEventTimeout), std::future_status::ready);
  EXPECT_EQ(completionThread.get(), bodyThread);
  task->wait();
  std::thread::id lateCompletionThread;
  task->onCompletion([&] { lateCompletionThread = std::this_thread::get_id(); });
  EXPECT_EQ(lateCompletionThread, std::this_thread::get_id());
}

TEST(CancellableTaskTest, WaitIsSafeTwiceFromCompletionsAndFromTheBody) {
  log::MemoryLogSink sink;
  std::shared_ptr<CancellableTask> task;
  std::promise<void> started;
  task = CancellableTask::start([&, started = started.get_future().share()](CancellationToken&) {
    started.wait();
    task->wait();
  });
  std::promise<void> completed;
  task->onCompletion([&] {
    task->wait();
    completed.set_value();
  });
  started.set_value();

  ASSERT_EQ(completed.get_future().wait_for(kEventTimeout), std::future_status::ready);
  task->wait();
  task->wait();
  EXPECT_EQ(sink.count(log::Level::error, "Asynchronous task waited for itself; not waiting"), 1u);
}

TEST(CancellableTaskTest, DroppingTheLastReferenceNeitherBlocksNorStopsTheTask) {
  std::promise<void> release;
  std::promise<void> completed;
  auto task = CancellableTask::start([release = release.get_future().share()](CancellationToken& token) {
    release.wait();
    EXPECT_FALSE(token.isCancelled());
  });
  task->onCompletion([&] { completed.set_value(); });
  task.reset();
  release.set_value();

  EXPECT_EQ(completed.get_future().wait_for(kEventTimeout), std::future_status::ready);
}

TEST(CancellableTaskTest, TaskReleasedFromItsOwnCompletionDoesNotDeadlock) {
  std::promise<void> registered;
  std::promise<void> released;
  auto holder = std::make_shared<std::shared_ptr<CancellableTask>>();
  *holder = CancellableTask::start([registered = registered.get_future().share()](CancellationToken&) { registered.wait(); });
  (*holder)->onCompletion([holder, &released] {
    holder->reset();
    released.set_value();
  });
  registered.set_value();

  EXPECT_EQ(released.get_future().wait_for(kEventTimeout), std::future_status::ready);
}

TEST(CancellableTaskTest, ExceptionFromTheBodyIsLoggedAndFinishesTheTask) {
  log::MemoryLogSink sink;
  auto task = CancellableTask::start([](CancellationToken&) { throw std::runtime_error("no display"); });
  task->wait();

  EXPECT_TRUE(task->isFinished());
  EXPECT_EQ(sink.count(log::Level::error, "Uncaught exception in asynchronous task: no display"), 1u);
}

}  // namespace
}  // namespace velmora
