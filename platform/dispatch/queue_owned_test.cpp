#include "platform/dispatch/queue_owned.h"

#include "platform/dispatch/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace velmora {
namespace {

struct QueueWorker : std::enable_shared_from_this<QueueWorker> {
  explicit QueueWorker(std::atomic<bool>& destroyed) : destroyedOnQueue(destroyed) {}
  ~QueueWorker() {
    destroyedOnQueue = queue.isCurrentThread();
    shutdownQueueAndWait();
  }
  void shutdownQueueAndWait() { queue.shutdownAndWait(); }

  std::atomic<bool>& destroyedOnQueue;
  SerialQueue queue{"com.velmora.test.owned"};
};

TEST(QueueOwnedTest, TheLastOwnerWaitsForTheQueueAndDestroysTheObjectItself) {
  std::atomic<bool> destroyedOnQueue{true};
  auto worker = ownedOutsideItsQueue(std::make_shared<QueueWorker>(destroyedOnQueue));
  std::promise<void> started;
  std::promise<void> release;
  // Work on its queue locks a weak reference to the object, as the servers' handlers do.
  worker->queue.post([weak = worker->weak_from_this(), &started, release = release.get_future().share()] {
    auto self = weak.lock();
    started.set_value();
    release.wait();
  });
  started.get_future().wait();

  // The owner lets go while the queue's work holds the object; the work ends a moment later.
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    release.set_value();
  });
  worker.reset();
  releaser.join();

  EXPECT_FALSE(destroyedOnQueue);
}

}  // namespace
}  // namespace velmora
