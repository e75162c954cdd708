#include "platform/gnome/mutter_display_source.h"

#include "platform/log/log.h"

namespace velmora {
namespace {

const log::Logger logger("App");

}  // namespace

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
      source->publish(std::move(monitors.value()));
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
  logger.info("mutter's monitors: {} monitor(s)", monitors.size());
  std::vector<LaidOutDisplay> displays;
  for (const auto& monitor : monitors) {
    displays.push_back(LaidOutDisplay{monitor.displayID, monitor.connector, monitor.logicalX, monitor.logicalY,
                                      monitor.logicalWidth, monitor.logicalHeight, monitor.scale});
  }
  const MutterMonitor* main = primaryMonitor(monitors);
  replaceDisplays(std::move(displays), main != nullptr ? main->displayID : 0);
}

}  // namespace velmora
