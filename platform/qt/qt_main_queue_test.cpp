#include "platform/qt/qt_main_queue.h"

#include "platform/dispatch/main_queue_contract_test.h"
#include "platform/qt/qt_test_support.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

struct QtMainQueueTraits {
  using Queue = QtMainQueue;
  static void setUp() { testing::QtTestApplication::get("offscreen"); }
  // Also keeps a quit queued by a shutdown before run() from ending the next test's loop early.
  static void settle() { testing::processEventsUntil([] { return false; }, std::chrono::milliseconds(100)); }
};

}  // namespace
}  // namespace velmora

namespace velmora::testing {
INSTANTIATE_TYPED_TEST_SUITE_P(Qt, MainQueueContractTest, QtMainQueueTraits);
}  // namespace velmora::testing
