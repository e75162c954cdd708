#include "platform/desktop/input_display_geometry.h"

#include <algorithm>
#include <cmath>

#include "platform/desktop/display_identity.h"

namespace velmora {

InputDisplayGeometry::InputDisplayGeometry(std::shared_ptr<const DisplaySource> displays)
    : displays_(std::move(displays)) {}

std::vector<std::pair<std::uint32_t, Rect>> InputDisplayGeometry::allBounds() const {
  const auto screens = displays_->screens();
  const std::uint32_t mainID = displays_->mainDisplayID();
  const auto main = std::find_if(screens.begin(), screens.end(),
                                 [mainID](const ScreenDescription& screen) { return screen.displayID == mainID; });
  const Rect mainFrame = main == screens.end() ? Rect{} : main->frame;
  std::vector<std::pair<std::uint32_t, Rect>> bounds;
  for (const auto& screen : screens) {
    bounds.emplace_back(screen.displayID, flippedAboutMainDisplay(screen.frame, mainFrame));
  }
  return bounds;
}

std::optional<InputDisplayGeometry::Nearest> InputDisplayGeometry::nearestTo(GlobalPoint point) const {
  if (!std::isfinite(point.x) || !std::isfinite(point.y)) {
    return std::nullopt;
  }
  const auto bounds = allBounds();
  std::vector<Rect> frames;
  for (const auto& display : bounds) {
    frames.push_back(display.second);
  }
  const auto index = nearestDisplay(frames, point);
  if (!index) {
    return std::nullopt;
  }
  return Nearest{*index, bounds[*index].first, bounds[*index].second};
}

Rect InputDisplayGeometry::displayBounds(std::uint32_t displayID) const {
  if (displayID == 0) {
    return Rect{};
  }
  for (const auto& [identifier, bounds] : allBounds()) {
    if (identifier == displayID) {
      return bounds;
    }
  }
  return Rect{};
}

std::uint32_t InputDisplayGeometry::mainDisplayID() const { return displays_->mainDisplayID(); }

std::vector<std::uint32_t> InputDisplayGeometry::activeDisplayIDs() const { return displays_->activeDisplayIDs(); }

}  // namespace velmora
