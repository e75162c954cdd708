#pragma once

#include <vector>

#include "platform/input_backend.h"
#include "platform/x11/x11_monitor_layout.h"

namespace velmora {

struct RootPoint {
  int x = 0;
  int y = 0;

  bool operator==(const RootPoint&) const = default;
};

// Between the global points of input (pixels / scale, origin at the main monitor's top-left
// corner, y down) and the root window's pixels. Display bounds are the display source's.
class X11RootMapping {
 public:
  X11RootMapping(const std::vector<X11Monitor>& monitors, double scale);

  GlobalPoint globalPoint(RootPoint pixel) const;
  // The nearest pixel, kept within what a root-window coordinate can hold.
  RootPoint rootPoint(GlobalPoint point) const;

 private:
  double scale_;
  PixelRect mainArea_;
};

}  // namespace velmora
