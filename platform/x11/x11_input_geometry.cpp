#include "platform/x11/x11_input_geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

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

X11InputGeometry::X11InputGeometry(std::vector<X11Monitor> monitors, double scale)
    : monitors_(std::move(monitors)),
      scale_(scale > 0 && std::isfinite(scale) ? scale : 1),
      mainArea_(monitorArea(monitors_, mainMonitorID(monitors_)).value_or(PixelRect{})) {}

std::uint32_t X11InputGeometry::mainDisplayID() const { return mainMonitorID(monitors_); }

std::vector<std::uint32_t> X11InputGeometry::displayIDs() const {
  std::vector<std::uint32_t> identifiers;
  for (const auto& monitor : monitors_) {
    identifiers.push_back(monitor.displayID);
  }
  return identifiers;
}

Rect X11InputGeometry::displayBounds(std::uint32_t displayID) const {
  const auto area = displayID == 0 ? std::nullopt : monitorArea(monitors_, displayID);
  if (!area) {
    return Rect{};
  }
  return Rect{(area->x - mainArea_.x) / scale_, (area->y - mainArea_.y) / scale_, area->width / scale_, area->height / scale_};
}

GlobalPoint X11InputGeometry::globalPoint(RootPoint pixel) const {
  return GlobalPoint{(pixel.x - mainArea_.x) / scale_, (pixel.y - mainArea_.y) / scale_};
}

RootPoint X11InputGeometry::rootPoint(GlobalPoint point) const {
  return RootPoint{nearestPixel(point.x * scale_ + mainArea_.x), nearestPixel(point.y * scale_ + mainArea_.y)};
}

}  // namespace velmora
