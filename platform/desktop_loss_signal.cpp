#include "platform/desktop_loss_signal.h"

namespace velmora {

void DesktopLossSignal::report(const std::string& reason) {
  std::vector<std::weak_ptr<Watcher>> watchers;
  {
    std::lock_guard lock(stateLock_);
    if (lostReason_) {
      return;
    }
    lostReason_ = reason;
    watchers.swap(watchers_);
  }
  for (const auto& weakWatcher : watchers) {
    if (const auto watcher = weakWatcher.lock()) {
      notify(watcher, reason);
    }
  }
}

std::shared_ptr<void> DesktopLossSignal::watch(MainQueue& mainQueue, Handler onLost) {
  auto watcher = std::make_shared<Watcher>(Watcher{mainQueue, std::move(onLost)});
  std::optional<std::string> reason;
  {
    std::lock_guard lock(stateLock_);
    reason = lostReason_;
    if (!reason) {
      watchers_.push_back(watcher);
    }
  }
  if (reason) {
    notify(watcher, *reason);
  }
  return watcher;
}

void DesktopLossSignal::notify(const std::shared_ptr<Watcher>& watcher, const std::string& reason) {
  watcher->mainQueue.post([weakWatcher = std::weak_ptr(watcher), reason] {
    if (const auto stillWatching = weakWatcher.lock()) {
      stillWatching->onLost(reason);
    }
  });
}

}  // namespace velmora
