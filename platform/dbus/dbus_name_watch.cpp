#include "platform/dbus/dbus_name_watch.h"

namespace velmora {

Result<std::unique_ptr<DBusNameWatch>> DBusNameWatch::start(std::shared_ptr<DBusConnection> bus, std::string name,
                                                            std::function<void()> onOwnerLost) {
  auto watch = std::make_unique<DBusNameWatch>(PrivateTag{}, std::move(bus), std::move(name), std::move(onOwnerLost));
  int watched = -1;
  watch->bus_->perform([&](sd_bus* connection) {
    sd_bus_slot* slot = nullptr;
    watched = sd_bus_match_signal(connection, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "NameOwnerChanged", onNameOwnerChanged, watch.get());
    watch->slot_.reset(slot);
  });
  if (watched < 0) {
    return Result<std::unique_ptr<DBusNameWatch>>::failure("cannot watch the owner of " + watch->name_ +
                                                           " on the bus");
  }
  return watch;
}

DBusNameWatch::DBusNameWatch(PrivateTag, std::shared_ptr<DBusConnection> bus, std::string name,
                             std::function<void()> onOwnerLost)
    : bus_(std::move(bus)), name_(std::move(name)), onOwnerLost_(std::move(onOwnerLost)) {}

DBusNameWatch::~DBusNameWatch() {
  // A closed connection's thread has ended: nothing else uses the slot then.
  if (!bus_->perform([this](sd_bus*) { slot_.reset(); })) {
    slot_.reset();
  }
}

int DBusNameWatch::onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* watch = static_cast<DBusNameWatch*>(userdata);
  const char* name = nullptr;
  const char* oldOwner = nullptr;
  const char* newOwner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) {
    return 0;
  }
  if (watch->name_ == name && (newOwner == nullptr || *newOwner == '\0')) {
    watch->onOwnerLost_();
  }
  return 0;
}

}  // namespace velmora
