#pragma once

class QWidget;

namespace velmora {

// Asks an X11 window manager to keep the (not yet shown) top-level window on every workspace:
// _NET_WM_STATE_STICKY and _NET_WM_DESKTOP 0xFFFFFFFF. Qt adds its own states to that property
// when it maps the window. Returns false, changing nothing, on other platforms (Wayland has no such
// request for ordinary clients).
bool showOnAllWorkspaces(QWidget& window);

}  // namespace velmora
