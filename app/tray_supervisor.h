#pragma once

#include <chrono>
#include <functional>
#include <optional>

#include "platform/result.h"

namespace velmora {

// How long the host waits for a desktop that went away, and how often it looks for it meanwhile.
struct DesktopReturnTiming {
  std::chrono::milliseconds retryInterval{500};
  std::chrono::milliseconds giveUpAfter{30'000};

  // The variable lets session tests wait less; nothing else sets it.
  static DesktopReturnTiming fromEnvironment();
};

// Qt ends a tray host's process when its display connection breaks (the X server or the compositor
// went), before the host can wait for the desktop as a headless host does. So the tray host runs
// in a child process, and this parent, which holds nothing of the host's (no lock, no socket, no
// desktop connection), starts it again once the desktop is back.
//
// Returns nothing in the child, which goes on to run the host. The parent returns the status to
// end with: the child's own, unless the child ended with `statuses.displayBroke` or failed while
// `desktopReachable` fails too; then a new child runs once that succeeds, or the parent gives up
// with `statuses.desktopGone`. SIGINT, SIGTERM and SIGHUP are passed on to the child, which ends
// when the parent does.
struct TrayHostStatuses {
  int displayBroke;
  int desktopGone;
};
std::optional<int> superviseTrayHost(const DesktopReturnTiming& timing,
                                     const std::function<Result<bool>()>& desktopReachable, TrayHostStatuses statuses);

}  // namespace velmora
