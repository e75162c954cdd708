#include "platform/dispatch/asio_main_queue.h"

#include "platform/dispatch/main_queue_contract_test.h"

#include <asio/signal_set.hpp>
#include <gtest/gtest.h>

#include <csignal>

namespace velmora {
namespace {

struct AsioMainQueueTraits {
  using Queue = AsioMainQueue;
  static void setUp() {}
  static void settle() {}
};

// The headless host's quit signal arrives through a signal set on the context.
TEST(AsioMainQueueTest, ASignalSetOnTheContextRunsOnTheMainThreadAndCanShutItDown) {
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

namespace velmora::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Asio, MainQueueContractTest, AsioMainQueueTraits);
}  // namespace velmora::testing
