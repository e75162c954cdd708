#include "platform/desktop/display_identity.h"

#include <algorithm>

namespace velmora {
namespace {

// How far `value` lies outside the pixels from `start` to start + length - 1.
double distanceOutside(double value, double start, double length) {
  const double last = start + std::max(length - 1, 0.0);
  return value < start ? start - value : std::max(0.0, value - last);
}

}  // namespace

std::uint32_t displayIDForName(std::string_view name) {
  // FNV-1a
  std::uint32_t hash = 2166136261u;
  for (const unsigned char character : name) {
    hash = (hash ^ character) * 16777619u;
  }
  return hash == 0 ? 1 : hash;
}

std::optional<std::size_t> nearestDisplay(const std::vector<Rect>& bounds, GlobalPoint point) {
  std::optional<std::size_t> nearest;
  double nearestDistance = 0;
  for (std::size_t index = 0; index < bounds.size(); ++index) {
    const Rect& frame = bounds[index];
    const double dx = distanceOutside(point.x, frame.x, frame.width);
    const double dy = distanceOutside(point.y, frame.y, frame.height);
    // Squared: only the order matters.
    const double distance = dx * dx + dy * dy;
    if (!nearest || distance < nearestDistance) {
      nearest = index;
      nearestDistance = distance;
    }
  }
  return nearest;
}

}  // namespace velmora
