#include "platform/dispatch/synchronous_calls.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <thread>

namespace velmora {
namespace {

constexpr auto kEventTimeout = std::chrono::seconds(10);

// Stands in for a queue: keeps the steps handed to it and tells the test when one arrives.
class HeldSteps {
 public:
  void add(SynchronousCalls::Work step) {
    {
      std::lock_guard lock(stepsLock_);
      steps_.push_back(std::move(step));
    }
    stepAdded_.notify_all();
  }
  SynchronousCalls::Work takeWhenQueued() {
    std::unique_lock lock(stepsLock_);
    if (!stepAdded_.wait_for(lock, kEventTimeout, [&] { return !steps_.empty(); })) {
      return nullptr;
    }
    auto step = std::move(steps_.front());
    steps_.erase(steps_.begin());
    return step;
  }

 private:
  std::mutex stepsLock_;
  std::condition_variable stepAdded_;
  std::vector<SynchronousCalls::Work> steps_;
};

TEST(SynchronousCallsTest, CallerWokenByShutdownReturnsFalseAndItsStepNeverRuns) {
  SynchronousCalls calls;
  HeldSteps steps;
  std::atomic<bool> ran{false};
  auto caller = std::async(std::launch::async, [&] {
    return calls.call([&] { ran = true; }, [&](SynchronousCalls::Work step) { steps.add(std::move(step)); });
  });
  auto step = steps.takeWhenQueued();
  ASSERT_TRUE(step);

  calls.shutdown();
  ASSERT_EQ(caller.wait_for(kEventTimeout), std::future_status::ready);
  EXPECT_FALSE(caller.get());
  step();  // the queue runs the stale step after the caller's frame is gone
  EXPECT_FALSE(ran);
}

TEST(SynchronousCallsTest, ShutdownWhileTheStepRunsWaitsForItAndReportsSuccess) {
  SynchronousCalls calls;
  HeldSteps steps;
  auto caller = std::async(std::launch::async, [&] {
    return calls.call([&] { calls.shutdown(); }, [&](SynchronousCalls::Work step) { steps.add(std::move(step)); });
  });
  auto step = steps.takeWhenQueued();
  ASSERT_TRUE(step);
  step();

  ASSERT_EQ(caller.wait_for(kEventTimeout), std::future_status::ready);
  EXPECT_TRUE(caller.get());
}

}  // namespace
}  // namespace velmora
