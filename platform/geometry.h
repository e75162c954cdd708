#pragma once

#include <algorithm>
#include <cstdint>

namespace velmora {

// A rectangle in points: origin at the lower-left corner of the main display, y growing upward.
struct Rect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;

  bool operator==(const Rect&) const = default;
};

// The one conversion between the display sources' convention (Rect: y up from the main display's
// lower-left corner) and the desktops' and input's (y down from the main display's top-left):
// `rect` turned about the main display's horizontal middle, relative to `main`, both in the same
// convention. It is its own inverse.
inline Rect flippedAboutMainDisplay(const Rect& rect, const Rect& main) {
  return Rect{rect.x - main.x, (main.y + main.height) - (rect.y + rect.height), rect.width, rect.height};
}

// A rectangle in pixels: origin at the top-left corner of a screen or picture, y down.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;

  bool operator==(const PixelRect&) const = default;
  bool isEmpty() const { return width <= 0 || height <= 0; }
  bool intersects(const PixelRect& other) const { return !intersection(other).isEmpty(); }

  // Empty when they do not meet. 64-bit sums: rectangles may come from a display server, and a
  // hostile one could send extremes.
  PixelRect intersection(const PixelRect& other) const {
    const std::int64_t left = std::max<std::int64_t>(x, other.x);
    const std::int64_t top = std::max<std::int64_t>(y, other.y);
    const std::int64_t right = std::min(std::int64_t{x} + width, std::int64_t{other.x} + other.width);
    const std::int64_t bottom = std::min(std::int64_t{y} + height, std::int64_t{other.y} + other.height);
    if (right <= left || bottom <= top || isEmpty() || other.isEmpty()) {
      return {};
    }
    return {static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left), static_cast<int>(bottom - top)};
  }
};

}  // namespace velmora
