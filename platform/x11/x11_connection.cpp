#include "platform/x11/x11_connection.h"

#include <X11/Xlib.h>

#include <cstdlib>
#include <mutex>
#include <set>

#include "platform/log/log.h"

namespace velmora {
namespace {

thread_local X11ErrorTrap* currentTrap = nullptr;

std::mutex lostConnectionsLock;
std::set<Display*> lostConnections;

const log::Logger& logger() {
  static const log::Logger instance("App");
  return instance;
}

int handleProtocolError(Display* display, XErrorEvent* event) {
  if (currentTrap != nullptr) {
    currentTrap->record(event->error_code);
    return 0;
  }
  char text[160] = {};
  XGetErrorText(display, event->error_code, text, sizeof text);
  logger().error("X error: {} (request {}.{}, resource {:#x})", text, static_cast<int>(event->request_code),
                 static_cast<int>(event->minor_code), event->resourceid);
  return 0;
}

// Xlib calls the exit handler right after this one; both returning keeps the process alive.
int handleConnectionError(Display* display) {
  logger().error("Lost the connection to X display {}", DisplayString(display));
  return 0;
}

void markConnectionLost(Display* display, void*) {
  {
    std::lock_guard lock(lostConnectionsLock);
    lostConnections.insert(display);
  }
  // Xlib takes the user lock of the display before it calls this (expecting the process to end),
  // and nothing releases it: every other thread would then block on the connection forever.
  XUnlockDisplay(display);
}

void prepareXlib() {
  static std::once_flag prepared;
  std::call_once(prepared, [] {
    XInitThreads();
    XSetErrorHandler(handleProtocolError);
    XSetIOErrorHandler(handleConnectionError);
  });
}

}  // namespace

void X11DisplayCloser::operator()(_XDisplay* display) const {
  // Forgotten only after the close: closing a lost connection reports the loss once more, and a
  // later connection that Xlib places at the same address must not start out lost.
  XCloseDisplay(display);
  std::lock_guard lock(lostConnectionsLock);
  lostConnections.erase(display);
}

Result<X11Connection> openX11Connection(const std::string& displayName) {
  prepareXlib();
  Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
  if (display == nullptr) {
    const char* fromEnvironment = std::getenv("DISPLAY");
    const std::string shownName = !displayName.empty() ? displayName : fromEnvironment != nullptr ? fromEnvironment : "";
    return Result<X11Connection>::failure(shownName.empty() ? "no X display given ($DISPLAY is not set)"
                                                            : "cannot open X display \"" + shownName + "\"");
  }
  XSetIOErrorExitHandler(display, markConnectionLost, nullptr);
  return X11Connection(display);
}

bool x11ConnectionLost(_XDisplay* display) {
  std::lock_guard lock(lostConnectionsLock);
  return lostConnections.count(display) != 0;
}

X11ErrorTrap::X11ErrorTrap() : enclosing_(currentTrap) { currentTrap = this; }

X11ErrorTrap::~X11ErrorTrap() { currentTrap = enclosing_; }

int X11ErrorTrap::sync(_XDisplay* display) {
  XSync(display, False);
  return firstErrorCode_;
}

void X11ErrorTrap::record(int errorCode) {
  if (firstErrorCode_ == 0) {
    firstErrorCode_ = errorCode;
  }
}

}  // namespace velmora
