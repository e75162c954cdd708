#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/display_source.h"
#include "platform/input_backend.h"
#include "platform/geometry.h"

namespace velmora {

// The displays as input needs them, read from the display source that owns them rather than
// derived again: bounds in global coordinates (points, y down from the main display's top-left
// corner), the main display and the active ones. Any thread the display source allows.
class InputDisplayGeometry {
 public:
  explicit InputDisplayGeometry(std::shared_ptr<const DisplaySource> displays);

  // An empty rectangle at (0, 0) for an unknown display.
  Rect displayBounds(std::uint32_t displayID) const;
  std::uint32_t mainDisplayID() const;
  std::vector<std::uint32_t> activeDisplayIDs() const;
  // Every display's ID and bounds, in the display source's order.
  std::vector<std::pair<std::uint32_t, Rect>> allBounds() const;

  struct Nearest {
    std::size_t index = 0;  // in allBounds()
    std::uint32_t displayID = 0;
    Rect bounds;
  };
  // The display that holds `point`, else the nearest one, where a point between displays goes;
  // none without displays or for a point that is not finite.
  std::optional<Nearest> nearestTo(GlobalPoint point) const;

 private:
  const std::shared_ptr<const DisplaySource> displays_;
};

// An input backend on a display source's displays: every family's answers to where the displays
// are come from here, and, where the desktop tells no client where its pointer is, where the
// pointer was last sent.
class DisplaySourceInputBackend : public InputBackend {
 public:
  explicit DisplaySourceInputBackend(std::shared_ptr<const DisplaySource> displays) : geometry_(std::move(displays)) {}

  Rect displayBounds(std::uint32_t displayID) const final { return geometry_.displayBounds(displayID); }
  std::uint32_t mainDisplayID() const final { return geometry_.mainDisplayID(); }
  std::vector<std::uint32_t> activeDisplayIDs() const final { return geometry_.activeDisplayIDs(); }
  std::optional<GlobalPoint> pointerLocation() const override {
    std::lock_guard lock(lastPointerLocationLock_);
    return lastPointerLocation_;
  }

 protected:
  const InputDisplayGeometry& geometry() const { return geometry_; }
  void notePointerSent(GlobalPoint point) {
    std::lock_guard lock(lastPointerLocationLock_);
    lastPointerLocation_ = point;
  }

 private:
  const InputDisplayGeometry geometry_;
  mutable std::mutex lastPointerLocationLock_;
  std::optional<GlobalPoint> lastPointerLocation_;
};

}  // namespace velmora
