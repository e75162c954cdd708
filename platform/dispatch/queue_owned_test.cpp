#include "platform/dispatch/queue_owned.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/dispatch/serial_queue.h"

namespace velmora {
namespace {

// Work on its queue locks a weak reference, as the servers' handlers do.
class QueueWorker : public std::enable_shared_from_this<QueueWorker> {
 public:
  explicit QueueWorker(std::atomic<bool>& destroyedOnQueue) : destroyedOnQueue_(destroyedOnQueue) {}
  ~QueueWorker() {
    destroyedOnQueue_ = queue_.isCurrentThread();
    shutdownQueueAndWait();
  }

  void shutdownQueueAndWait() { queue_.shutdownAndWait(); }

  void holdDuring(std::future<void> release, std::promise<void>& started) {
    queue_.post([weak = weak_from_this(), release = std::make_shared<std::future<void>>(std::move(release)), &started] {
      auto self = weak.lock();
      started.set_value();
      release->wait();
    });
  }

 private:
  std::atomic<bool>& destroyedOnQueue_;
  SerialQueue queue_{"com.velmora.test.owned"};
};

TEST(QueueOwnedTest, TheLastOwnerWaitsForTheQueueAndDestroysTheObjectItself) {
  std::atomic<bool> destroyedOnQueue{true};
  auto worker = ownedOutsideItsQueue(std::make_shared<QueueWorker>(destroyedOnQueue));
  std::promise<void> started;
  std::promise<void> release;
  worker->holdDuring(release.get_future(), started);
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
