#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/display_source.h"
#include "platform/gnome/mutter_display_config.h"
#include "platform/main_queue.h"
#include "platform/result.h"

namespace velmora {

// Mutter's monitors as displays, from DisplayConfig's GetCurrentState, kept as a snapshot that the
// DisplaySource calls read and read again after each MonitorsChanged. Frames are in points with
// the monitor's scale; the main display is mutter's primary monitor; monitors that share a logical
// monitor mirror the first of them.
class MutterDisplaySource : public DisplaySource, public std::enable_shared_from_this<MutterDisplaySource> {
  struct PrivateTag {};
  struct Watcher;

 public:
  // Reads the monitors before returning; fails where mutter's DisplayConfig does not answer.
  static Result<std::shared_ptr<MutterDisplaySource>> open(std::shared_ptr<DBusConnection> bus);

  MutterDisplaySource(PrivateTag, std::shared_ptr<DBusConnection> bus);
  ~MutterDisplaySource() override;
  MutterDisplaySource(const MutterDisplaySource&) = delete;
  MutterDisplaySource& operator=(const MutterDisplaySource&) = delete;

  // Any thread.
  std::vector<ScreenDescription> screens() const override;
  std::uint32_t mainDisplayID() const override;
  std::vector<std::uint32_t> activeDisplayIDs() const override;
  std::uint32_t mirroredDisplayID(std::uint32_t displayID) const override;
  std::vector<MutterMonitor> monitors() const;

  // Posts `onChange` onto `mainQueue` once for each MonitorsChanged, after the snapshot is new,
  // until the returned watch is dropped; a call posted but not yet run then is dropped too. Any
  // thread; the main queue must outlive the watch.
  std::shared_ptr<void> watchChanges(MainQueue& mainQueue, std::function<void()> onChange);

 private:
  static int onMonitorsChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onCurrentState(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void publish(std::vector<MutterMonitor> monitors);

  const std::shared_ptr<DBusConnection> bus_;
  DBusSlot monitorsChangedSlot_;     // bus thread only
  DBusSlot pendingStateSlot_;        // bus thread only: the GetCurrentState call under way
  mutable std::mutex snapshotLock_;  // guards monitors_ and watchers_
  std::vector<MutterMonitor> monitors_;
  std::vector<std::weak_ptr<Watcher>> watchers_;
};

}  // namespace velmora
