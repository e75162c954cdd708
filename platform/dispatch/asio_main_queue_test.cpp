#include "platform/dispatch/asio_main_queue.h"

#include "platform/dispatch/main_queue_contract_test.h"

namespace velmora::testing {

struct AsioMainQueueTraits {
  using Queue = AsioMainQueue;
  static void setUp() {}
  static void settle() {}
};

INSTANTIATE_TYPED_TEST_SUITE_P(Asio, MainQueueContractTest, AsioMainQueueTraits);

}  // namespace velmora::testing
