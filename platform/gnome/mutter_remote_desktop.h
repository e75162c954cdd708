#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/result.h"

namespace velmora {

// One org.gnome.Mutter.RemoteDesktop session with a ScreenCast session tied to it
// (remote-desktop-session-id) recording every monitor with the cursor embedded. Mutter closes the
// whole session when a recorded monitor goes away and records no monitor added later, so after
// each MonitorsChanged (and each close that this object did not ask for) the session is started
// afresh on a thread of its own: the session path and the streams change then. Stopped when dropped.
class MutterRemoteDesktop {
  struct PrivateTag {};
  struct Session;

 public:
  struct MonitorStream {
    std::uint32_t displayID = 0;
    std::string connector;
    std::string streamPath;  // for NotifyPointerMotionAbsolute
    std::uint32_t pipeWireNode = 0;
    int width = 0;  // pixels
    int height = 0;
  };

  // Starts the session and waits until mutter has announced each monitor's PipeWire node.
  static Result<std::shared_ptr<MutterRemoteDesktop>> start(std::shared_ptr<DBusConnection> bus);

  MutterRemoteDesktop(PrivateTag, std::shared_ptr<DBusConnection> bus);
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  DBusConnection& bus();
  // The current session's object path, for the Notify* and selection calls; empty while it is
  // being started again. Any thread.
  std::string remoteDesktopSessionPath() const;
  // The current session's streams whose PipeWire node is known. Any thread.
  std::vector<MonitorStream> streams() const;
  // The same once a session records every monitor with a known node, waiting up to `timeout` while
  // one is being started again. Any thread but the bus's.
  std::vector<MonitorStream> recordingStreams(std::chrono::milliseconds timeout) const;
  // Whether a session runs now, or is being started again. Any thread.
  bool running() const;

 private:
  Result<bool> startSession();
  Result<bool> openSessionOnBusThread(sd_bus* bus);
  void stopSessionOnBusThread(sd_bus* bus);
  void restartAfterChanges();
  static int onMonitorsChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onSessionClosed(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onStreamAdded(sd_bus_message* message, void* userdata, sd_bus_error* error);
  void requestRestartOnBusThread();
  bool everyStreamAnnounced() const;  // with streamsLock_ held

  const std::shared_ptr<DBusConnection> bus_;
  DBusSlot monitorsChangedSlot_;      // bus thread only
  std::unique_ptr<Session> session_;  // bus thread only
  mutable std::mutex streamsLock_;    // guards sessionPath_, streams_, restartWanted_, stopping_, failed_
  mutable std::condition_variable streamsChanged_;
  std::string sessionPath_;
  std::vector<MonitorStream> streams_;
  bool restartWanted_ = false;
  bool stopping_ = false;
  bool failed_ = false;
  std::thread restartThread_;
};

}  // namespace velmora
