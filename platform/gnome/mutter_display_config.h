#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/result.h"

namespace velmora {

// One monitor that mutter shows, as org.gnome.Mutter.DisplayConfig describes it.
struct MutterMonitor {
  std::uint32_t displayID = 0;  // from the connector: the same across unplug and replug
  std::string connector;        // "DP-1", "Meta-0" for a virtual monitor
  // In points, origin at the top-left of the layout, y down.
  double logicalX = 0;
  double logicalY = 0;
  double logicalWidth = 0;
  double logicalHeight = 0;
  int pixelWidth = 0;  // the current mode, as shown (turned by its transform)
  int pixelHeight = 0;
  double scale = 1;  // pixels per point, fractional where mutter scales so
  bool primary = false;
};

inline constexpr const char* kDisplayConfigService = "org.gnome.Mutter.DisplayConfig";
inline constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";
inline constexpr const char* kDisplayConfigInterface = "org.gnome.Mutter.DisplayConfig";

// The monitors in mutter's current layout (a disabled monitor is left out), in its order. On the
// bus's thread (inside DBusConnection::perform).
Result<std::vector<MutterMonitor>> readMutterMonitors(sd_bus* bus);
// The same from a reply to GetCurrentState.
Result<std::vector<MutterMonitor>> parseMutterMonitors(sd_bus_message* reply);

// The primary monitor, or the first where none is; null without monitors.
const MutterMonitor* primaryMonitor(const std::vector<MutterMonitor>& monitors);

}  // namespace velmora
