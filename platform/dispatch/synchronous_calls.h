#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace velmora {

// The runSync guarantee shared by the main queues: a caller that is told "false" can rely on its
// work never running, even though the queued step that refers to it may outlive the call.
class SynchronousCalls {
 public:
  using Work = std::function<void()>;
  using Enqueue = std::function<void(Work step)>;

  // A main queue's runSync: runs `work` at once when the caller is already on the queue's thread,
  // else as call() does. An empty `work` only tells whether the queue still runs work.
  bool run(const Work& work, bool onQueueThread, const Enqueue& enqueue);
  // Hands a step to `enqueue` and waits until the step has run `work`. Returns false, without
  // running it, when shutdown() came first or comes while the step is still queued; once the step
  // has started, waits for it to finish even across a shutdown.
  bool call(const Work& work, const Enqueue& enqueue);
  // Wakes every waiting caller whose step has not started; later calls fail at once. Idempotent.
  void shutdown();
  bool isShutDown() const;

 private:
  struct Call;
  mutable std::mutex callsLock_;
  bool isShutDown_ = false;
  std::vector<std::weak_ptr<Call>> calls_;  // callers may still be waiting; pruned as they finish
};

}  // namespace velmora
