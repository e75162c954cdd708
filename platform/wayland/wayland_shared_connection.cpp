#include "platform/wayland/wayland_shared_connection.h"

#include <wayland-client.h>

#include <vector>

namespace velmora {

Result<std::shared_ptr<WaylandSharedConnection>> WaylandSharedConnection::open(const std::string& socketName,
                                                                               LossHandler onLost) {
  auto connection = WaylandConnection::open(socketName);
  if (!connection) {
    return Result<std::shared_ptr<WaylandSharedConnection>>::failure(connection.error());
  }
  return std::make_shared<WaylandSharedConnection>(PrivateTag{}, std::move(connection.value()), std::move(onLost));
}

WaylandSharedConnection::WaylandSharedConnection(PrivateTag, std::unique_ptr<WaylandConnection> connection,
                                                 LossHandler onLost)
    : connection_(std::move(connection)),
      outputs_(std::make_unique<WaylandOutputs>(*connection_)),
      onLost_(std::move(onLost)) {
  outputs_->setChangeHandler([this] { outputsChanged_ = true; });
}

WaylandSharedConnection::~WaylandSharedConnection() {
  thread_.reset();
  // Every proxy goes before the connection closes.
  outputs_.reset();
  wl_display_flush(connection_->display());
}

void WaylandSharedConnection::start() {
  thread_ = std::make_unique<WaylandConnectionThread>(
      *connection_, "App",
      WaylandConnectionThread::Hooks{[this] { announceOutputChanges(); },
                                     [this](const std::string& reason) {
                                       if (onLost_) {
                                         onLost_("lost the Wayland compositor: " + reason);
                                       }
                                     }});
}

bool WaylandSharedConnection::perform(std::function<void()> task) {
  return thread_ && thread_->perform(std::move(task));
}

void WaylandSharedConnection::performOrRunHere(const std::function<void()>& task) {
  // A thread that lost the connection has left its loop: nothing else uses the connection then.
  if (!perform(task)) {
    task();
  }
}

bool WaylandSharedConnection::connected() const { return thread_ && thread_->connected(); }

int WaylandSharedConnection::watchOutputs(std::function<void()> onChange) {
  const int key = nextWatcherKey_++;
  outputWatchers_.emplace(key, std::move(onChange));
  return key;
}

void WaylandSharedConnection::stopWatchingOutputs(int key) { outputWatchers_.erase(key); }

// Everything read in one dispatch is one batch: one call per watcher, after the outputs are new.
void WaylandSharedConnection::announceOutputChanges() {
  if (!outputsChanged_) {
    return;
  }
  outputsChanged_ = false;
  std::vector<std::function<void()>> watchers;
  for (const auto& [key, watcher] : outputWatchers_) {
    watchers.push_back(watcher);
  }
  for (const auto& watcher : watchers) {
    watcher();
  }
}

}  // namespace velmora
