#pragma once

#include "platform/dispatch/synchronous_calls.h"
#include "platform/main_queue.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace velmora {

// The main queue of unit tests: nothing runs until the test drains it, and delayed work follows a
// virtual clock that only advance() moves. The creating thread is the main thread.
class ManualMainQueue final : public MainQueue {
 public:
  ManualMainQueue();
  ~ManualMainQueue() override;
  ManualMainQueue(const ManualMainQueue&) = delete;
  ManualMainQueue& operator=(const ManualMainQueue&) = delete;

  void post(Work work) override;
  void postAfter(Duration delay, Work work) override;
  bool isCurrentThread() const override;
  bool runSync(Work work) override;
  void shutdown() override;

  // Runs every ready item, also those queued while draining; returns how many ran.
  std::size_t drain();
  // Moves the virtual clock forward, running what became due in due-time order (ties in the order
  // queued) and whatever that work queues for no later than the new time; returns how many ran.
  std::size_t advance(Duration duration);
  // Drains until the condition holds, waiting for work from other threads (runSync callers, for
  // example) up to `timeout` of real time; returns the condition.
  bool runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

  Duration now() const;  // virtual time since creation
  std::size_t readyCount() const;
  std::size_t delayedCount() const;

 private:
  std::optional<Work> takeReady();

  const std::thread::id mainThread_;
  mutable std::mutex queueLock_;  // guards the queues, the virtual clock and the shutdown flag
  std::condition_variable workQueued_;
  std::deque<Work> ready_;
  std::map<std::pair<Duration, std::uint64_t>, Work> delayed_;  // keyed by due time, then order queued
  Duration now_{};
  std::uint64_t nextSequence_ = 0;
  bool isShutDown_ = false;
  SynchronousCalls synchronousCalls_;
};

}  // namespace velmora
