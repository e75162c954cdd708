#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/geometry.h"

namespace velmora {

// One screen as the platform lists it, before any filtering.
struct ScreenDescription {
  std::uint32_t displayID = 0;  // 0 when the platform gave no usable number
  std::string name;
  Rect frame;
  double backingScaleFactor = 1;
};

// The platform's screen list and display relations. Called on the main thread.
class DisplaySource {
 public:
  virtual ~DisplaySource() = default;
  virtual std::vector<ScreenDescription> screens() const = 0;
  virtual std::uint32_t mainDisplayID() const = 0;
  // The displays that can be drawn to now, in the platform's order; empty on any failure.
  virtual std::vector<std::uint32_t> activeDisplayIDs() const = 0;
  // The display that displayID mirrors, 0 when it mirrors none.
  virtual std::uint32_t mirroredDisplayID(std::uint32_t displayID) const = 0;
};

}  // namespace velmora
