#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/dbus/dbus_connection.h"
#include "platform/result.h"

namespace velmora {

// Hears, on the bus thread, when a well-known name loses its owner: the program that served it
// ended or left the bus. Stopped when dropped.
class DBusNameWatch {
  struct PrivateTag {};

 public:
  static Result<std::unique_ptr<DBusNameWatch>> start(std::shared_ptr<DBusConnection> bus, std::string name,
                                                      std::function<void()> onOwnerLost);

  DBusNameWatch(PrivateTag, std::shared_ptr<DBusConnection> bus, std::string name,
                std::function<void()> onOwnerLost);
  ~DBusNameWatch();
  DBusNameWatch(const DBusNameWatch&) = delete;
  DBusNameWatch& operator=(const DBusNameWatch&) = delete;

 private:
  static int onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);

  const std::shared_ptr<DBusConnection> bus_;
  const std::string name_;
  const std::function<void()> onOwnerLost_;
  DBusSlot slot_;  // bus thread only
};

}  // namespace velmora
