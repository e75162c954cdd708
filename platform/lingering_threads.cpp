#include "platform/lingering_threads.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace velmora {

void LingeringThreads::EndMark::ended() {
  {
    std::lock_guard lock(lock_);
    ended_ = true;
  }
  changed_.notify_all();
}

bool LingeringThreads::EndMark::hasEnded() {
  std::lock_guard lock(lock_);
  return ended_;
}

bool LingeringThreads::EndMark::waitUntilEnded(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(lock_);
  return changed_.wait_until(lock, deadline, [this] { return ended_; });
}

void LingeringThreads::adopt(std::thread thread, std::shared_ptr<EndMark> mark) {
  std::vector<Adopted> ended;
  {
    std::lock_guard lock(lock_);
    const auto running = std::stable_partition(threads_.begin(), threads_.end(),
                                               [](Adopted& adopted) { return adopted.mark->hasEnded(); });
    std::move(threads_.begin(), running, std::back_inserter(ended));
    threads_.erase(threads_.begin(), running);
    threads_.push_back({std::move(thread), std::move(mark)});
  }
  for (auto& adopted : ended) {
    adopted.thread.join();  // past its last step: returns at once
  }
}

LingeringThreads::~LingeringThreads() {
  const auto deadline = std::chrono::steady_clock::now() + kEndWait;
  for (auto& adopted : threads_) {
    // The last owner may be let go on an adopted thread itself, which cannot wait for itself; nor
    // is a thread stuck past the deadline worth a process that never ends.
    if (adopted.thread.get_id() != std::this_thread::get_id() && adopted.mark->waitUntilEnded(deadline)) {
      adopted.thread.join();
    } else {
      adopted.thread.detach();
    }
  }
}

}  // namespace velmora
