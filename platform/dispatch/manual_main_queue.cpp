#include "platform/dispatch/manual_main_queue.h"

#include <algorithm>

namespace velmora {
namespace {

// runUntil also rechecks its condition this often, for conditions set by threads that post nothing.
constexpr std::chrono::milliseconds kConditionRecheckInterval{10};

}  // namespace

ManualMainQueue::ManualMainQueue() : mainThread_(std::this_thread::get_id()) {}

ManualMainQueue::~ManualMainQueue() { shutdown(); }

void ManualMainQueue::post(Work work) {
  if (!work) {
    return;
  }
  {
    std::lock_guard lock(queueLock_);
    if (isShutDown_) {
      return;  // the work, and what it holds, is released after the lock
    }
    ready_.push_back(std::move(work));
  }
  workQueued_.notify_all();
}

void ManualMainQueue::postAfter(Duration delay, Work work) {
  if (delay <= Duration::zero()) {
    post(std::move(work));
    return;
  }
  if (!work) {
    return;
  }
  std::lock_guard lock(queueLock_);
  if (isShutDown_) {
    return;
  }
  delayed_.emplace(std::pair(now_ + delay, nextSequence_++), std::move(work));
}

bool ManualMainQueue::isCurrentThread() const { return std::this_thread::get_id() == mainThread_; }

bool ManualMainQueue::runSync(Work work) {
  return synchronousCalls_.run(work, isCurrentThread(), [this](Work step) { post(std::move(step)); });
}

void ManualMainQueue::shutdown() {
  std::deque<Work> droppedReady;
  std::map<std::pair<Duration, std::uint64_t>, Work> droppedDelayed;
  {
    std::lock_guard lock(queueLock_);
    isShutDown_ = true;
    droppedReady.swap(ready_);
    droppedDelayed.swap(delayed_);
  }
  synchronousCalls_.shutdown();
  workQueued_.notify_all();
}

std::optional<MainQueue::Work> ManualMainQueue::takeReady() {
  std::lock_guard lock(queueLock_);
  if (ready_.empty()) {
    return std::nullopt;
  }
  Work work = std::move(ready_.front());
  ready_.pop_front();
  return work;
}

std::size_t ManualMainQueue::drain() {
  std::size_t count = 0;
  while (auto work = takeReady()) {
    (*work)();
    ++count;
  }
  return count;
}

std::size_t ManualMainQueue::advance(Duration duration) {
  std::size_t count = drain();
  Duration target;
  {
    std::lock_guard lock(queueLock_);
    target = now_ + duration;
  }
  // One due item at a time, so that work it queues for an earlier time than the next one runs first.
  for (;;) {
    {
      std::lock_guard lock(queueLock_);
      const auto next = delayed_.begin();
      if (next == delayed_.end() || next->first.first > target) {
        now_ = std::max(now_, target);
        break;
      }
      now_ = std::max(now_, next->first.first);
      ready_.push_back(std::move(next->second));
      delayed_.erase(next);
    }
    count += drain();
  }
  return count + drain();
}

bool ManualMainQueue::runUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    drain();
    if (condition()) {
      return true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      return false;
    }
    std::unique_lock lock(queueLock_);
    workQueued_.wait_until(lock, std::min(deadline, now + kConditionRecheckInterval), [&] { return !ready_.empty(); });
  }
}

MainQueue::Duration ManualMainQueue::now() const {
  std::lock_guard lock(queueLock_);
  return now_;
}

std::size_t ManualMainQueue::readyCount() const {
  std::lock_guard lock(queueLock_);
  return ready_.size();
}

std::size_t ManualMainQueue::delayedCount() const {
  std::lock_guard lock(queueLock_);
  return delayed_.size();
}

}  // namespace velmora
