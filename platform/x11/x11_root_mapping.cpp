#include "platform/x11/x11_root_mapping.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace velmora {
namespace {

int nearestPixel(double value) {
  // X coordinates are 16-bit on the wire; NaN goes to the origin rather than anywhere undefined.
  constexpr double kLimit = std::numeric_limits<std::int16_t>::max();
  if (std::isnan(value)) {
    return 0;
  }
  return static_cast<int>(std::lround(std::clamp(value, -kLimit, kLimit)));
}

}  // namespace

X11RootMapping::X11RootMapping(const std::vector<X11Monitor>& monitors, double scale)
    : scale_(scale > 0 && std::isfinite(scale) ? scale : 1),
      mainArea_(monitorArea(monitors, mainMonitorID(monitors)).value_or(PixelRect{})) {}

GlobalPoint X11RootMapping::globalPoint(RootPoint pixel) const {
  return GlobalPoint{(pixel.x - mainArea_.x) / scale_, (pixel.y - mainArea_.y) / scale_};
}

RootPoint X11RootMapping::rootPoint(GlobalPoint point) const {
  return RootPoint{nearestPixel(point.x * scale_ + mainArea_.x), nearestPixel(point.y * scale_ + mainArea_.y)};
}

}  // namespace velmora
