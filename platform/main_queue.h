#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace velmora {

// The main thread's queue: the controller's state, user-interface work and input injection run
// here. Other threads may wait for it (runSync); the main thread never waits for them.
class MainQueue {
 public:
  using Work = std::function<void()>;
  using Duration = std::chrono::steady_clock::duration;

  virtual ~MainQueue() = default;

  // Queues work to run on the main thread after all work queued before it. Dropped after shutdown().
  virtual void post(Work work) = 0;
  // Queues work to run no earlier than `delay` from now. Dropped after shutdown().
  virtual void postAfter(Duration delay, Work work) = 0;
  // True on the thread that runs this queue's work.
  virtual bool isCurrentThread() const = 0;
  // Runs work on the main thread and waits until it has run. On the main thread itself it runs
  // inline. Returns false, without running it, once the queue has shut down, including when the
  // shutdown happens while the caller waits.
  virtual bool runSync(Work work) = 0;
  // Stops the queue: queued work is dropped, waiting runSync calls return false. Idempotent.
  virtual void shutdown() = 0;

  // runSync for work with a result; nothing when the queue has shut down.
  template <class F, class R = std::invoke_result_t<F&>>
  std::optional<R> callSync(F&& work) {
    std::optional<R> result;
    runSync([&] { result.emplace(work()); });
    return result;
  }
};

}  // namespace velmora
