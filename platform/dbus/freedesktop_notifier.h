#pragma once

#include <memory>
#include <string>

#include "platform/desktop_notifier.h"

namespace velmora {

// Notices through the desktop's notification server (org.freedesktop.Notifications) on the
// session bus; `busAddress` (when given) replaces $DBUS_SESSION_BUS_ADDRESS. Never fails: without a
// bus or a server each notice costs one log line, and the bus is tried again at the next notice.
// Its thread runs the actions' callbacks; do not destroy it from one of them.
std::unique_ptr<DesktopNotifier> makeFreedesktopNotifier(const std::string& busAddress = {});

}  // namespace velmora
