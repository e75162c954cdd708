#include "platform/dispatch/synchronous_calls.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace velmora {
namespace {

// A queue may run a step after its caller gave up: the step must not touch the caller's work.
TEST(SynchronousCallsTest, CallerWokenByShutdownReturnsFalseAndItsStaleStepNeverRunsTheWork) {
  SynchronousCalls calls;
  std::promise<SynchronousCalls::Work> queued;
  std::atomic<bool> ran{false};
  auto caller = std::async(std::launch::async, [&] {
    return calls.call([&] { ran = true; }, [&](SynchronousCalls::Work step) { queued.set_value(std::move(step)); });
  });
  auto step = queued.get_future().get();

  calls.shutdown();
  ASSERT_EQ(caller.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(caller.get());
  step();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace velmora
