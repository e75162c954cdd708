#include "platform/wayland/wayland_display_source.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/log/log.h"
#include "platform/wayland/wayland_connection.h"

namespace velmora {
namespace {

const log::Logger logger("App");

bool sameLogicalArea(const WaylandOutput& first, const WaylandOutput& second) {
  return first.logicalX == second.logicalX && first.logicalY == second.logicalY &&
         first.logicalWidth == second.logicalWidth && first.logicalHeight == second.logicalHeight;
}

}  // namespace

struct WaylandDisplaySource::Watcher {
  MainQueue& mainQueue;
  std::function<void()> onChange;
};

Result<std::shared_ptr<WaylandDisplaySource>> WaylandDisplaySource::open(const std::string& socketName) {
  using Failure = Result<std::shared_ptr<WaylandDisplaySource>>;
  auto connection = WaylandConnection::open(socketName);
  if (!connection) {
    return Failure::failure(connection.error());
  }
  const int stopDescriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopDescriptor < 0) {
    return Failure::failure(std::string("eventfd failed: ") + std::strerror(errno));
  }
  return std::make_shared<WaylandDisplaySource>(PrivateTag{}, std::move(connection.value()), stopDescriptor);
}

WaylandDisplaySource::WaylandDisplaySource(PrivateTag, std::unique_ptr<WaylandConnection> connection,
                                           int stopDescriptor)
    : connection_(std::move(connection)),
      waylandOutputs_(std::make_unique<WaylandOutputs>(*connection_)),
      stopDescriptor_(stopDescriptor),
      outputs_(waylandOutputs_->outputs()) {
  // Set before the thread starts, which owns the outputs from then on.
  waylandOutputs_->setChangeHandler([this] { outputsChanged_ = true; });
  outputThread_ = std::thread([this] { runOnOutputThread(); });
}

WaylandDisplaySource::~WaylandDisplaySource() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = write(stopDescriptor_, &one, sizeof one);
  outputThread_.join();
  // Every proxy goes before the connection closes.
  waylandOutputs_.reset();
  close(stopDescriptor_);
}

void WaylandDisplaySource::runOnOutputThread() {
  const int wakeDescriptors[] = {stopDescriptor_};
  std::vector<bool> woken;
  while (true) {
    if (!connection_->dispatch(std::nullopt, wakeDescriptors, &woken)) {
      logger.error("Screen change notifications end: the Wayland connection is gone ({})",
                   connection_->lostReason().value_or("connection lost"));
      return;
    }
    if (woken[0]) {
      return;
    }
    publishChanges();
  }
}

// Everything read in one dispatch is one batch: one call per watcher, after the snapshot is new.
void WaylandDisplaySource::publishChanges() {
  if (!outputsChanged_) {
    return;
  }
  outputsChanged_ = false;
  auto current = waylandOutputs_->outputs();
  logger.info("Wayland outputs changed: {} output(s)", current.size());
  std::lock_guard lock(snapshotLock_);
  outputs_ = std::move(current);
  std::erase_if(watchers_, [](const std::weak_ptr<Watcher>& watcher) { return watcher.expired(); });
  for (const auto& watcher : watchers_) {
    if (const auto live = watcher.lock()) {
      live->mainQueue.post([watcher] {
        if (const auto stillWatching = watcher.lock()) {
          stillWatching->onChange();
        }
      });
    }
  }
}

std::shared_ptr<void> WaylandDisplaySource::watchChanges(MainQueue& mainQueue, std::function<void()> onChange) {
  auto watcher = std::make_shared<Watcher>(Watcher{mainQueue, std::move(onChange)});
  std::lock_guard lock(snapshotLock_);
  watchers_.push_back(watcher);
  return watcher;
}

std::vector<WaylandOutput> WaylandDisplaySource::outputs() const {
  std::lock_guard lock(snapshotLock_);
  return outputs_;
}

std::vector<ScreenDescription> WaylandDisplaySource::screens() const {
  const auto current = outputs();
  const WaylandOutput* main = mainOutput(current);
  if (main == nullptr) {
    return {};
  }
  const double mainBottom = static_cast<double>(main->logicalY) + main->logicalHeight;
  const double mainLeft = main->logicalX;
  std::vector<ScreenDescription> screens;
  for (const auto& output : current) {
    // The layout is y down: flip about the main output's bottom edge, so one above it gets a positive y.
    const double bottomUp = mainBottom - (static_cast<double>(output.logicalY) + output.logicalHeight);
    screens.push_back(ScreenDescription{
        output.displayID, output.name,
        Rect{output.logicalX - mainLeft, bottomUp, static_cast<double>(output.logicalWidth),
             static_cast<double>(output.logicalHeight)},
        output.scale()});
  }
  return screens;
}

std::uint32_t WaylandDisplaySource::mainDisplayID() const {
  const auto current = outputs();
  const WaylandOutput* main = mainOutput(current);
  return main != nullptr ? main->displayID : 0;
}

std::vector<std::uint32_t> WaylandDisplaySource::activeDisplayIDs() const {
  std::vector<std::uint32_t> displayIDs;
  for (const auto& output : outputs()) {
    displayIDs.push_back(output.displayID);
  }
  return displayIDs;
}

std::uint32_t WaylandDisplaySource::mirroredDisplayID(std::uint32_t displayID) const {
  const auto current = outputs();
  const auto mirror = std::find_if(current.begin(), current.end(),
                                   [displayID](const WaylandOutput& output) { return output.displayID == displayID; });
  if (mirror == current.end()) {
    return 0;
  }
  const auto original = std::find_if(current.begin(), mirror, [&](const WaylandOutput& earlier) {
    return sameLogicalArea(earlier, *mirror) && earlier.displayID != displayID;
  });
  return original == mirror ? 0 : original->displayID;
}

}  // namespace velmora
