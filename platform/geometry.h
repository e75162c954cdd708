#pragma once

namespace velmora {

// A rectangle in points: origin at the lower-left corner of the main display, y growing upward.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Rect&) const = default;
};

}  // namespace velmora
