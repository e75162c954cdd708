#include "platform/gnome/mutter_remote_desktop.h"

#include <algorithm>

#include "platform/gnome/mutter_display_config.h"
#include "platform/log/log.h"

namespace velmora {
namespace {

const log::Logger logger("GNOME");

constexpr const char* kRemoteDesktopService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCastService = "org.gnome.Mutter.ScreenCast";
constexpr std::uint32_t kCursorEmbedded = 1;  // ScreenCast cursor-mode
// Mutter announces each stream's node right after the session starts; a long wait means it never will.
constexpr auto kStreamNodeWait = std::chrono::seconds(5);
constexpr auto kChangeSettle = std::chrono::milliseconds(200);

// Calls a method that answers with one object path.
Result<std::string> callForPath(sd_bus* bus, const char* service, const char* path, const char* interface,
                                const char* member, const std::function<int(sd_bus_message*)>& appendArguments) {
  sd_bus_message* rawCall = nullptr;
  int result = sd_bus_message_new_method_call(bus, &rawCall, service, path, interface, member);
  DBusMessage call(rawCall);
  if (result >= 0) {
    result = appendArguments(call.get());
  }
  DBusError error;
  sd_bus_message* rawReply = nullptr;
  if (result >= 0) {
    result = sd_bus_call(bus, call.get(), 0, error.get(), &rawReply);
  }
  DBusMessage reply(rawReply);
  const char* answer = nullptr;
  if (result >= 0) {
    result = sd_bus_message_read(reply.get(), "o", &answer);
  }
  if (result < 0) {
    return Result<std::string>::failure(std::string(member) + " failed: " + error.describe(result));
  }
  return std::string(answer);
}

}  // namespace

struct MutterRemoteDesktop::Session {
  std::string path;
  DBusSlot closedSlot;
  std::vector<DBusSlot> streamSlots;
};

Result<std::shared_ptr<MutterRemoteDesktop>> MutterRemoteDesktop::start(std::shared_ptr<DBusConnection> bus) {
  using Failure = Result<std::shared_ptr<MutterRemoteDesktop>>;
  auto desktop = std::make_shared<MutterRemoteDesktop>(PrivateTag{}, std::move(bus));
  int watched = -1;
  desktop->bus_->perform([&](sd_bus* connection) {
    sd_bus_slot* slot = nullptr;
    watched = sd_bus_match_signal(connection, &slot, nullptr, kDisplayConfigPath, kDisplayConfigInterface,
                                  "MonitorsChanged", onMonitorsChanged, desktop.get());
    desktop->monitorsChangedSlot_.reset(slot);
  });
  if (watched < 0) {
    return Failure::failure("cannot watch mutter's monitors on the session bus");
  }
  auto started = desktop->startSession();
  if (!started) {
    return Failure::failure(started.error());
  }
  desktop->restartThread_ = std::thread([raw = desktop.get()] { raw->restartAfterChanges(); });
  return desktop;
}

MutterRemoteDesktop::MutterRemoteDesktop(PrivateTag, std::shared_ptr<DBusConnection> bus) : bus_(std::move(bus)) {}

MutterRemoteDesktop::~MutterRemoteDesktop() {
  {
    std::lock_guard lock(streamsLock_);
    stopping_ = true;
  }
  streamsChanged_.notify_all();
  if (restartThread_.joinable()) {
    restartThread_.join();
  }
  // Without the bus thread nothing can call the handlers any more, so the slots may simply go.
  bus_->perform([this](sd_bus* bus) {
    monitorsChangedSlot_.reset();
    stopSessionOnBusThread(bus);
  });
}

DBusConnection& MutterRemoteDesktop::bus() { return *bus_; }

std::string MutterRemoteDesktop::remoteDesktopSessionPath() const {
  std::lock_guard lock(streamsLock_);
  return sessionPath_;
}

std::vector<MutterRemoteDesktop::MonitorStream> MutterRemoteDesktop::streams() const {
  std::lock_guard lock(streamsLock_);
  std::vector<MonitorStream> announced;
  std::copy_if(streams_.begin(), streams_.end(), std::back_inserter(announced),
               [](const MonitorStream& stream) { return stream.pipeWireNode != 0; });
  return announced;
}

std::vector<MutterRemoteDesktop::MonitorStream> MutterRemoteDesktop::recordingStreams(
    std::chrono::milliseconds timeout) const {
  {
    std::unique_lock lock(streamsLock_);
    streamsChanged_.wait_for(lock, timeout, [&] { return everyStreamAnnounced() || stopping_ || failed_; });
  }
  return streams();
}

bool MutterRemoteDesktop::everyStreamAnnounced() const {
  return !restartWanted_ && !streams_.empty() &&
         std::all_of(streams_.begin(), streams_.end(),
                     [](const MonitorStream& stream) { return stream.pipeWireNode != 0; });
}

bool MutterRemoteDesktop::running() const {
  std::lock_guard lock(streamsLock_);
  return !failed_ && !stopping_ && bus_->connected();
}

// Creates both sessions and records every monitor on the bus thread, then waits here for the nodes.
Result<bool> MutterRemoteDesktop::startSession() {
  std::string failure = "the D-Bus connection is closed";
  bus_->perform([&](sd_bus* bus) {
    auto opened = openSessionOnBusThread(bus);
    failure = opened ? std::string() : opened.error();
    if (!opened) {
      stopSessionOnBusThread(bus);
    }
  });
  if (!failure.empty()) {
    return Result<bool>::failure("the GNOME remote desktop session cannot start: " + failure);
  }
  std::unique_lock lock(streamsLock_);
  const bool announced = streamsChanged_.wait_for(
      lock, kStreamNodeWait, [&] { return stopping_ || restartWanted_ || everyStreamAnnounced(); });
  if (!announced) {
    return Result<bool>::failure("mutter announced no PipeWire stream for a recorded monitor");
  }
  failed_ = false;
  return true;
}

Result<bool> MutterRemoteDesktop::openSessionOnBusThread(sd_bus* bus) {
  using Failure = Result<bool>;
  const auto noArguments = [](sd_bus_message*) { return 0; };
  auto path = callForPath(bus, kRemoteDesktopService, "/org/gnome/Mutter/RemoteDesktop",
                          "org.gnome.Mutter.RemoteDesktop", "CreateSession", noArguments);
  if (!path) {
    return Failure::failure(path.error());
  }
  session_ = std::make_unique<Session>();
  session_->path = path.value();
  sd_bus_slot* slot = nullptr;
  int result = sd_bus_match_signal(bus, &slot, nullptr, session_->path.c_str(), kRemoteDesktopSessionInterface,
                                   "Closed", onSessionClosed, this);
  session_->closedSlot.reset(slot);
  DBusError error;
  char* sessionID = nullptr;
  if (result >= 0) {
    result = sd_bus_get_property_string(bus, kRemoteDesktopService, session_->path.c_str(),
                                        kRemoteDesktopSessionInterface, "SessionId", error.get(), &sessionID);
  }
  if (result < 0) {
    return Failure::failure("the remote desktop session has no id: " + error.describe(result));
  }
  const std::string remoteDesktopSessionID(sessionID);
  std::free(sessionID);
  auto screenCast = callForPath(bus, kScreenCastService, "/org/gnome/Mutter/ScreenCast", "org.gnome.Mutter.ScreenCast",
                                "CreateSession", [&](sd_bus_message* call) {
                                  return sd_bus_message_append(call, "a{sv}", 1, "remote-desktop-session-id", "s",
                                                               remoteDesktopSessionID.c_str());
                                });
  if (!screenCast) {
    return Failure::failure(screenCast.error());
  }
  auto monitors = readMutterMonitors(bus);
  if (!monitors) {
    return Failure::failure(monitors.error());
  }
  if (monitors.value().empty()) {
    return Failure::failure("mutter shows no monitor");
  }
  std::vector<MonitorStream> recorded;
  for (const auto& monitor : monitors.value()) {
    auto stream = callForPath(bus, kScreenCastService, screenCast.value().c_str(),
                              "org.gnome.Mutter.ScreenCast.Session", "RecordMonitor", [&](sd_bus_message* call) {
                                return sd_bus_message_append(call, "sa{sv}", monitor.connector.c_str(), 1,
                                                             "cursor-mode", "u", kCursorEmbedded);
                              });
    if (!stream) {
      return Failure::failure("monitor " + monitor.connector + ": " + stream.error());
    }
    slot = nullptr;
    if (sd_bus_match_signal(bus, &slot, nullptr, stream.value().c_str(), "org.gnome.Mutter.ScreenCast.Stream",
                            "PipeWireStreamAdded", onStreamAdded, this) < 0) {
      return Failure::failure("cannot watch the stream of monitor " + monitor.connector);
    }
    session_->streamSlots.emplace_back(slot);
    recorded.push_back(MonitorStream{monitor.displayID, monitor.connector, stream.value(), 0, monitor.pixelWidth,
                                     monitor.pixelHeight});
  }
  {
    // Published before Start: the nodes arrive as signals once this task returns.
    std::lock_guard lock(streamsLock_);
    streams_ = std::move(recorded);
    sessionPath_ = session_->path;
  }
  // Starting the remote desktop session starts the screen cast session tied to it.
  result = sd_bus_call_method(bus, kRemoteDesktopService, session_->path.c_str(), kRemoteDesktopSessionInterface,
                              "Start", error.get(), nullptr, "");
  if (result < 0) {
    return Failure::failure("Start failed: " + error.describe(result));
  }
  logger.info("GNOME remote desktop session {} records {} monitor(s)", session_->path, monitors.value().size());
  return true;
}

void MutterRemoteDesktop::stopSessionOnBusThread(sd_bus* bus) {
  {
    std::lock_guard lock(streamsLock_);
    streams_.clear();
    sessionPath_.clear();
  }
  if (!session_) {
    return;
  }
  // The slots go first, so that the Closed signal of this stop is not taken for one from mutter.
  const auto session = std::move(session_);
  session->closedSlot.reset();
  session->streamSlots.clear();
  DBusError error;
  const int result = sd_bus_call_method(bus, kRemoteDesktopService, session->path.c_str(),
                                        kRemoteDesktopSessionInterface, "Stop", error.get(), nullptr, "");
  if (result < 0) {
    logger.debug("Stopping the remote desktop session {}: {}", session->path, error.describe(result));
  }
}

// Each burst of changes (or a close) ends in one new session, started on this thread so that the
// bus thread stays free to read the answers.
void MutterRemoteDesktop::restartAfterChanges() {
  for (;;) {
    {
      std::unique_lock lock(streamsLock_);
      streamsChanged_.wait(lock, [&] { return restartWanted_ || stopping_; });
      // Mutter closes the session and then announces the change: both end in one new session.
      streamsChanged_.wait_for(lock, kChangeSettle, [&] { return stopping_; });
      if (stopping_) {
        return;
      }
      restartWanted_ = false;
    }
    bus_->perform([this](sd_bus* bus) { stopSessionOnBusThread(bus); });
    auto started = startSession();
    if (!started) {
      logger.error("{}", started.error());
      std::lock_guard lock(streamsLock_);
      failed_ = !restartWanted_;
      streamsChanged_.notify_all();
    }
  }
}

void MutterRemoteDesktop::requestRestartOnBusThread() {
  {
    std::lock_guard lock(streamsLock_);
    streams_.clear();
    sessionPath_.clear();
    restartWanted_ = true;
  }
  streamsChanged_.notify_all();
}

int MutterRemoteDesktop::onMonitorsChanged(sd_bus_message*, void* userdata, sd_bus_error*) {
  logger.info("mutter's monitors changed: recording them again");
  static_cast<MutterRemoteDesktop*>(userdata)->requestRestartOnBusThread();
  return 0;
}

int MutterRemoteDesktop::onSessionClosed(sd_bus_message*, void* userdata, sd_bus_error*) {
  logger.notice("mutter closed the remote desktop session: starting another");
  static_cast<MutterRemoteDesktop*>(userdata)->requestRestartOnBusThread();
  return 0;
}

int MutterRemoteDesktop::onStreamAdded(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* desktop = static_cast<MutterRemoteDesktop*>(userdata);
  std::uint32_t node = 0;
  if (sd_bus_message_read(message, "u", &node) < 0) {
    return 0;
  }
  const char* path = sd_bus_message_get_path(message);
  {
    std::lock_guard lock(desktop->streamsLock_);
    for (auto& stream : desktop->streams_) {
      if (path != nullptr && stream.streamPath == path) {
        stream.pipeWireNode = node;
      }
    }
  }
  desktop->streamsChanged_.notify_all();
  return 0;
}

}  // namespace velmora
