#include "platform/gnome/mutter_display_source.h"

#include <algorithm>

#include "platform/log/log.h"

namespace velmora {
namespace {

const log::Logger logger("App");

bool sameLogicalArea(const MutterMonitor& first, const MutterMonitor& second) {
  return first.logicalX == second.logicalX && first.logicalY == second.logicalY &&
         first.logicalWidth == second.logicalWidth && first.logicalHeight == second.logicalHeight;
}

}  // namespace

struct MutterDisplaySource::Watcher {
  MainQueue& mainQueue;
  std::function<void()> onChange;
};

Result<std::shared_ptr<MutterDisplaySource>> MutterDisplaySource::open(std::shared_ptr<DBusConnection> bus) {
  using Failure = Result<std::shared_ptr<MutterDisplaySource>>;
  auto source = std::make_shared<MutterDisplaySource>(PrivateTag{}, std::move(bus));
  std::string failure = "the D-Bus connection is closed";
  source->bus_->perform([&](sd_bus* connection) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(connection, &slot, nullptr, kDisplayConfigPath, kDisplayConfigInterface, "MonitorsChanged",
                            onMonitorsChanged, source.get()) < 0) {
      failure = "cannot watch mutter's monitors on the session bus";
      return;
    }
    source->monitorsChangedSlot_.reset(slot);
    auto monitors = readMutterMonitors(connection);
    failure = monitors ? std::string() : monitors.error();
    if (monitors) {
      source->monitors_ = std::move(monitors.value());
    }
  });
  if (!failure.empty()) {
    return Failure::failure(failure);
  }
  return source;
}

MutterDisplaySource::MutterDisplaySource(PrivateTag, std::shared_ptr<DBusConnection> bus) : bus_(std::move(bus)) {}

MutterDisplaySource::~MutterDisplaySource() {
  bus_->perform([this](sd_bus*) {
    monitorsChangedSlot_.reset();
    pendingStateSlot_.reset();
  });
}

// Mutter says only that something changed: the new state is asked for without waiting on the bus
// thread, and a change that comes while one is asked for asks again (dropping the slot cancels).
int MutterDisplaySource::onMonitorsChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* source = static_cast<MutterDisplaySource*>(userdata);
  sd_bus_slot* slot = nullptr;
  const int result =
      sd_bus_call_method_async(sd_bus_message_get_bus(message), &slot, kDisplayConfigService, kDisplayConfigPath,
                               kDisplayConfigInterface, "GetCurrentState", onCurrentState, source, "");
  if (result < 0) {
    logger.error("mutter's monitors changed but cannot be asked for: {}", DBusError().describe(result));
  }
  source->pendingStateSlot_.reset(slot);
  return 0;
}

int MutterDisplaySource::onCurrentState(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* source = static_cast<MutterDisplaySource*>(userdata);
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  auto monitors = error != nullptr ? Result<std::vector<MutterMonitor>>::failure(std::string(error->name) + ": " +
                                                                                 (error->message ? error->message : ""))
                                   : parseMutterMonitors(reply);
  source->pendingStateSlot_.reset();
  if (!monitors) {
    logger.error("mutter's monitors changed but cannot be read: {}", monitors.error());
    return 0;
  }
  source->publish(std::move(monitors.value()));
  return 0;
}

void MutterDisplaySource::publish(std::vector<MutterMonitor> monitors) {
  logger.info("mutter's monitors changed: {} monitor(s)", monitors.size());
  std::lock_guard lock(snapshotLock_);
  monitors_ = std::move(monitors);
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

std::shared_ptr<void> MutterDisplaySource::watchChanges(MainQueue& mainQueue, std::function<void()> onChange) {
  auto watcher = std::make_shared<Watcher>(Watcher{mainQueue, std::move(onChange)});
  std::lock_guard lock(snapshotLock_);
  watchers_.push_back(watcher);
  return watcher;
}

std::vector<MutterMonitor> MutterDisplaySource::monitors() const {
  std::lock_guard lock(snapshotLock_);
  return monitors_;
}

std::vector<ScreenDescription> MutterDisplaySource::screens() const {
  const auto current = monitors();
  const MutterMonitor* main = primaryMonitor(current);
  if (main == nullptr) {
    return {};
  }
  const double mainBottom = main->logicalY + main->logicalHeight;
  std::vector<ScreenDescription> screens;
  for (const auto& monitor : current) {
    // The layout is y down: flip about the main monitor's bottom edge, so one above it gets a positive y.
    const double bottomUp = mainBottom - (monitor.logicalY + monitor.logicalHeight);
    screens.push_back(ScreenDescription{
        monitor.displayID, monitor.connector,
        Rect{monitor.logicalX - main->logicalX, bottomUp, monitor.logicalWidth, monitor.logicalHeight}, monitor.scale});
  }
  return screens;
}

std::uint32_t MutterDisplaySource::mainDisplayID() const {
  const auto current = monitors();
  const MutterMonitor* main = primaryMonitor(current);
  return main != nullptr ? main->displayID : 0;
}

std::vector<std::uint32_t> MutterDisplaySource::activeDisplayIDs() const {
  std::vector<std::uint32_t> displayIDs;
  for (const auto& monitor : monitors()) {
    displayIDs.push_back(monitor.displayID);
  }
  return displayIDs;
}

std::uint32_t MutterDisplaySource::mirroredDisplayID(std::uint32_t displayID) const {
  const auto current = monitors();
  const auto mirror = std::find_if(current.begin(), current.end(), [displayID](const MutterMonitor& monitor) {
    return monitor.displayID == displayID;
  });
  if (mirror == current.end()) {
    return 0;
  }
  const auto original = std::find_if(current.begin(), mirror, [&](const MutterMonitor& earlier) {
    return sameLogicalArea(earlier, *mirror) && earlier.displayID != displayID;
  });
  return original == mirror ? 0 : original->displayID;
}

}  // namespace velmora
