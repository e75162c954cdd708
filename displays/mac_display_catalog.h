#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/display_source.h"
#include "platform/geometry.h"

namespace velmora {

// One streamable display.
struct MacDisplaySnapshot {
  std::uint32_t displayID = 0;  // never 0 in a snapshot
  std::string name;
  Rect frame;
  double backingScaleFactor = 1;
  bool isMain = false;

  bool operator==(const MacDisplaySnapshot&) const = default;
};

// Which displays can be streamed, and in which order: the main display first, then the others
// left to right, bottom to top within a column. Stateless: every call reads the platform afresh.
namespace MacDisplayCatalog {

using Candidate = ScreenDescription;

std::vector<MacDisplaySnapshot> currentSnapshots(const DisplaySource& source);

std::vector<MacDisplaySnapshot> snapshots(const std::vector<Candidate>& candidates, std::uint32_t mainDisplayID,
                                          const std::set<std::uint32_t>& activeDisplayIDs,
                                          const std::function<std::uint32_t(std::uint32_t)>& mirroredDisplayID);

// The same snapshots with the selected display moved to the front.
std::vector<MacDisplaySnapshot> routeOrderedSnapshots(std::vector<MacDisplaySnapshot> snapshots,
                                                      std::optional<std::uint32_t> selectedDisplayID);

}  // namespace MacDisplayCatalog
}  // namespace velmora
