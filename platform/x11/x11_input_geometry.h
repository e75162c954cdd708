#pragma once

#include <cstdint>
#include <vector>

#include "platform/geometry.h"
#include "platform/input_backend.h"
#include "platform/x11/x11_monitor_layout.h"

namespace velmora {

struct RootPoint {
  int x = 0;
  int y = 0;

  bool operator==(const RootPoint&) const = default;
};

// The monitors of an X screen in the global coordinates of input: points (pixels / scale),
// origin at the main monitor's top-left corner, y down. Display numbers and the main display
// follow the display source.
class X11InputGeometry {
 public:
  X11InputGeometry(std::vector<X11Monitor> monitors, double scale);

  std::uint32_t mainDisplayID() const;
  std::vector<std::uint32_t> displayIDs() const;
  // An empty rectangle at (0, 0) for a display that is not there.
  Rect displayBounds(std::uint32_t displayID) const;

  GlobalPoint globalPoint(RootPoint pixel) const;
  // The nearest pixel, kept within what a root-window coordinate can hold.
  RootPoint rootPoint(GlobalPoint point) const;

 private:
  std::vector<X11Monitor> monitors_;
  double scale_;
  PixelRect mainArea_;
};

}  // namespace velmora
