#include "platform/qt/workspace_hints.h"

#include <QGuiApplication>
#include <QWidget>

// Xlib's macros (None, Bool, Status ...) collide with Qt's names: it comes after every Qt header.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace velmora {

bool showOnAllWorkspaces(QWidget& window) {
  auto* x11 = qGuiApp == nullptr ? nullptr : qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  Display* display = x11 == nullptr ? nullptr : x11->display();
  if (display == nullptr) {
    return false;
  }
  const auto windowId = static_cast<Window>(window.winId());  // creates the native window
  Atom sticky = XInternAtom(display, "_NET_WM_STATE_STICKY", False);
  XChangeProperty(display, windowId, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(&sticky), 1);
  long allDesktops = 0xFFFFFFFF;  // format-32 properties are passed as longs
  XChangeProperty(display, windowId, XInternAtom(display, "_NET_WM_DESKTOP", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(&allDesktops), 1);
  XFlush(display);
  return true;
}

}  // namespace velmora
