#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/display_source.h"
#include "platform/geometry.h"

namespace velmora {

// One RandR monitor, in the server's order.
struct X11Monitor {
  std::uint32_t displayID = 0;  // the monitor's name atom: stable for the life of the X server
  std::string name;
  bool isPrimary = false;
  PixelRect area;

  bool operator==(const X11Monitor&) const = default;
};

// The primary monitor, else the first; 0 without monitors.
std::uint32_t mainMonitorID(const std::vector<X11Monitor>& monitors);

std::optional<PixelRect> monitorArea(const std::vector<X11Monitor>& monitors, std::uint32_t displayID);

// The first earlier monitor with exactly the same area, 0 when there is none (or no such monitor).
std::uint32_t mirroredMonitorID(const std::vector<X11Monitor>& monitors, std::uint32_t displayID);

// The monitors in points (pixels / scale), origin at the main monitor's lower-left corner, y up.
std::vector<ScreenDescription> screenDescriptions(const std::vector<X11Monitor>& monitors, double scale);

// Pixels per point from the Xft.dpi entry of a resource database text (RESOURCE_MANAGER): dpi / 96,
// or 1 when the entry is missing or not a sensible resolution.
double scaleFromResources(std::string_view resources);

// The monitor name (display descriptor 0xFC) of an EDID base block, printable ASCII only.
std::optional<std::string> edidProductName(std::span<const std::uint8_t> edid);

}  // namespace velmora
