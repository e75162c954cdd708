#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/file_descriptor.h"
#include "platform/log/log.h"
#include "platform/result.h"

namespace velmora {

struct PortalAnswer;

// The user-defaults key that keeps the portal's restore token (a one-element string array), so
// that a desktop which remembers the approval does not ask again at the next start.
inline constexpr const char* kPortalRestoreTokenKey = "portalRestoreToken";

// One monitor shared through the session, as the portal's Start answer lists it.
struct PortalStream {
  std::uint32_t pipeWireNode = 0;
  std::string identifier;  // the portal's "id", empty where the portal gives none
  int x = 0;               // logical position and size; 0 where the portal gives none
  int y = 0;
  int width = 0;
  int height = 0;
};

struct PortalSessionOptions {
  std::string busAddress;  // empty: $DBUS_SESSION_BUS_ADDRESS
  std::string restoreToken;
  // Requests a person answers (the desktop's approval dialog) wait this long; the others a few seconds.
  std::chrono::seconds userAnswerTimeout{180};
  std::chrono::seconds portalAnswerTimeout{20};
  // Called (on the opening thread) before the dialog may show, so the host can say it waits.
  std::function<void()> waitingForUser;
  // Called once, on the bus thread, when the desktop or its user ends the session; not when the
  // host itself closes it.
  std::function<void()> onClosed;
};

// A remote-desktop session of the desktop portal (org.freedesktop.portal.RemoteDesktop with
// ScreenCast sources): keyboard and pointer, every monitor, the cursor embedded in the pictures.
// Where the portal offers screen casts only (xdg-desktop-portal-wlr), a screen-cast session
// without input.
// open() returns once the user approved it; a refusal, a timeout or a missing portal is an error.
// Input calls return without waiting for the portal; they leave in order, one at a time; any thread.
class PortalSession {
  struct PrivateTag {};

 public:
  static Result<std::shared_ptr<PortalSession>> open(const PortalSessionOptions& options);

  PortalSession(PrivateTag, std::unique_ptr<DBusConnection> connection);
  ~PortalSession();
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  const std::vector<PortalStream>& streams() const { return streams_; }
  // The token to start the next session with; empty where the portal cannot restore sessions.
  const std::string& restoreToken() const { return restoreToken_; }
  bool hasInput() const { return remoteDesktopVersion_ > 0; }
  // False once the desktop or the user ended the session, or the bus went away.
  bool active() const;
  // A new descriptor of the PipeWire remote through which the streams' nodes are reached.
  Result<FileDescriptor> openPipeWireRemote();

  // Position in the stream's own logical coordinates.
  void pointerMotionAbsolute(std::uint32_t pipeWireNode, double x, double y);
  void pointerButton(std::int32_t evdevButton, bool down);
  void pointerAxis(double dx, double dy);
  void pointerAxisDiscrete(std::uint32_t axis, std::int32_t steps);  // axis 0 vertical, 1 horizontal
  void keyboardKeycode(std::int32_t evdevKeyCode, bool down);
  void keyboardKeysym(std::int32_t keysym, bool down);

 private:
  // Calls a method that answers through a Request object and waits for its Response.
  Result<PortalAnswer> request(const std::string& interface, const std::string& method,
                         const std::function<int(sd_bus_message* call, const std::string& handleToken)>& appendArguments,
                         std::chrono::seconds timeout);
  Result<bool> start(const PortalSessionOptions& options);
  void notify(const char* method, const std::function<int(sd_bus_message*)>& appendArguments);
  // On the connection's thread: sends the next queued input call when none is in flight.
  void sendNextNotification(sd_bus* bus);

  const log::Logger logger_{"EventInjector"};
  const std::unique_ptr<DBusConnection> connection_;
  std::string uniqueName_;
  std::string sessionHandle_;
  std::uint32_t remoteDesktopVersion_ = 0;  // 0: a screen-cast session
  std::vector<PortalStream> streams_;
  std::string restoreToken_;
  int nextToken_ = 0;
  DBusSlot closedMatch_;
  std::function<void()> onClosed_;
  // The portal handles each call on a thread of its own, so calls in flight together may overtake
  // each other (a click before the motion to its place): one at a time, the next sent at the answer.
  struct QueuedNotification {
    const char* method;
    DBusMessage call;
  };
  std::deque<QueuedNotification> queuedNotifications_;  // on the connection's thread
  DBusSlot notificationInFlight_;                        // on the connection's thread
  unsigned droppedNotifications_ = 0;                    // on the connection's thread
  std::atomic<bool> closed_{false};
};

}  // namespace velmora
