#pragma once

#include <memory>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/gnome/mutter_display_config.h"
#include "platform/laid_out_display_source.h"
#include "platform/result.h"

namespace velmora {

// Mutter's monitors as displays, from DisplayConfig's GetCurrentState, kept as a snapshot that the
// DisplaySource calls read and read again after each MonitorsChanged. Frames are in points with
// the monitor's scale; the main display is mutter's primary monitor; monitors that share a logical
// monitor mirror the first of them.
class MutterDisplaySource : public LaidOutDisplaySource, public std::enable_shared_from_this<MutterDisplaySource> {
  struct PrivateTag {};

 public:
  // Reads the monitors before returning; fails where mutter's DisplayConfig does not answer.
  static Result<std::shared_ptr<MutterDisplaySource>> open(std::shared_ptr<DBusConnection> bus);

  MutterDisplaySource(PrivateTag, std::shared_ptr<DBusConnection> bus);
  ~MutterDisplaySource() override;
  MutterDisplaySource(const MutterDisplaySource&) = delete;
  MutterDisplaySource& operator=(const MutterDisplaySource&) = delete;

 private:
  static int onMonitorsChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onCurrentState(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void publish(std::vector<MutterMonitor> monitors);

  const std::shared_ptr<DBusConnection> bus_;
  DBusSlot monitorsChangedSlot_;     // bus thread only
  DBusSlot pendingStateSlot_;        // bus thread only: the GetCurrentState call under way
};

}  // namespace velmora
