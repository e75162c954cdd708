#include "platform/x11/x11_focus_ping.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <algorithm>
#include <atomic>

#include "platform/x11/x11_connection.h"

namespace velmora {
namespace {

// Unique per ping, so that a late answer to an earlier ping is never taken for this one.
std::atomic<long> lastPingToken{0};

bool hasProtocols(Display* display, Window window) {
  Atom* protocols = nullptr;
  int count = 0;
  if (XGetWMProtocols(display, window, &protocols, &count) == 0) {
    return false;
  }
  XFree(protocols);
  return true;
}

Window parentOf(Display* display, Window window) {
  Window root = None;
  Window parent = None;
  Window* children = nullptr;
  unsigned count = 0;
  if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
    return None;
  }
  if (children != nullptr) {
    XFree(children);
  }
  return parent;
}

// The focus window, or with a focus that follows the pointer the deepest window under it, then up
// to the first window with window manager protocols: the client's top level.
Window focusedTopLevel(Display* display) {
  const Window root = DefaultRootWindow(display);
  Window window = None;
  int revertTo = 0;
  XGetInputFocus(display, &window, &revertTo);
  if (window == static_cast<Window>(PointerRoot)) {
    for (Window child = root; child != None;) {
      Window rootReturn = None;
      int rootX = 0;
      int rootY = 0;
      int x = 0;
      int y = 0;
      unsigned mask = 0;
      window = child;
      if (XQueryPointer(display, window, &rootReturn, &child, &rootX, &rootY, &x, &y, &mask) == 0) {
        return None;
      }
    }
  }
  for (; window != None && window != root; window = parentOf(display, window)) {
    if (hasProtocols(display, window)) {
      return window;
    }
  }
  return None;
}

bool isAnswer(const XEvent& event, Atom protocolsAtom, Atom pingAtom, long token, Window window) {
  if (event.type != ClientMessage || event.xclient.message_type != protocolsAtom || event.xclient.format != 32) {
    return false;
  }
  const long* data = event.xclient.data.l;
  return static_cast<Atom>(data[0]) == pingAtom && data[1] == token && static_cast<Window>(data[2]) == window;
}

}  // namespace

FocusPingOutcome X11FocusPinger::ping(_XDisplay* display) {
  const Atom protocolsAtom = XInternAtom(display, "WM_PROTOCOLS", False);
  const Atom pingAtom = XInternAtom(display, "_NET_WM_PING", False);
  const Window root = DefaultRootWindow(display);
  // Windows may go while they are looked at or pinged: such an error only means no answer.
  X11ErrorTrap trap;
  const Window target = focusedTopLevel(display);
  if (target == None || std::find(silentWindows_.begin(), silentWindows_.end(), target) != silentWindows_.end()) {
    return FocusPingOutcome::unsupported;
  }
  // Answers go to the root window, for its structure (Qt) or substructure (GTK, Tk) listeners.
  XSelectInput(display, root, StructureNotifyMask | SubstructureNotifyMask);
  const long token = ++lastPingToken;
  XEvent ping{};
  ping.xclient.type = ClientMessage;
  ping.xclient.window = target;
  ping.xclient.message_type = protocolsAtom;
  ping.xclient.format = 32;
  ping.xclient.data.l[0] = static_cast<long>(pingAtom);
  ping.xclient.data.l[1] = token;
  ping.xclient.data.l[2] = static_cast<long>(target);
  XSendEvent(display, target, False, NoEventMask, &ping);
  XFlush(display);

  auto outcome = FocusPingOutcome::timedOut;
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  while (outcome == FocusPingOutcome::timedOut && !x11ConnectionLost(display)) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (isAnswer(event, protocolsAtom, pingAtom, token, target)) {
        outcome = FocusPingOutcome::answered;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (outcome == FocusPingOutcome::answered || left.count() <= 0) {
      break;
    }
    pollfd descriptor{ConnectionNumber(display), POLLIN, 0};
    poll(&descriptor, 1, static_cast<int>(left.count()) + 1);
  }
  XSelectInput(display, root, NoEventMask);
  trap.sync(display);
  XSync(display, True);
  if (outcome == FocusPingOutcome::timedOut) {
    if (silentWindows_.size() == kMostSilentWindows) {
      silentWindows_.erase(silentWindows_.begin());
    }
    silentWindows_.push_back(target);
  }
  return outcome;
}

}  // namespace velmora
