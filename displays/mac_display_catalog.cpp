#include "displays/mac_display_catalog.h"

#include <algorithm>

namespace velmora::MacDisplayCatalog {

std::vector<MacDisplaySnapshot> currentSnapshots(const DisplaySource& source) {
  const auto active = source.activeDisplayIDs();
  return snapshots(source.screens(), source.mainDisplayID(), std::set<std::uint32_t>(active.begin(), active.end()),
                   [&source](std::uint32_t displayID) { return source.mirroredDisplayID(displayID); });
}

std::vector<MacDisplaySnapshot> snapshots(const std::vector<Candidate>& candidates, std::uint32_t mainDisplayID,
                                          const std::set<std::uint32_t>& activeDisplayIDs,
                                          const std::function<std::uint32_t(std::uint32_t)>& mirroredDisplayID) {
  std::vector<MacDisplaySnapshot> result;
  std::set<std::uint32_t> taken;
  for (const auto& candidate : candidates) {
    if (candidate.displayID == 0 || !activeDisplayIDs.contains(candidate.displayID) ||
        mirroredDisplayID(candidate.displayID) != 0 || taken.contains(candidate.displayID)) {
      continue;
    }
    taken.insert(candidate.displayID);
    result.push_back(MacDisplaySnapshot{candidate.displayID, candidate.name, candidate.frame,
                                        candidate.backingScaleFactor, candidate.displayID == mainDisplayID});
  }

  std::stable_sort(result.begin(), result.end(), [](const MacDisplaySnapshot& a, const MacDisplaySnapshot& b) {
    if (a.isMain != b.isMain) {
      return a.isMain;
    }
    // Edges are the smallest coordinates, whatever the sign of a width or height.
    const double leftA = std::min(a.frame.x, a.frame.x + a.frame.width);
    const double leftB = std::min(b.frame.x, b.frame.x + b.frame.width);
    if (leftA != leftB) {
      return leftA < leftB;
    }
    const double bottomA = std::min(a.frame.y, a.frame.y + a.frame.height);
    const double bottomB = std::min(b.frame.y, b.frame.y + b.frame.height);
    if (bottomA != bottomB) {
      return bottomA < bottomB;
    }
    return a.displayID < b.displayID;
  });
  return result;
}

std::vector<MacDisplaySnapshot> routeOrderedSnapshots(std::vector<MacDisplaySnapshot> snapshots,
                                                      std::optional<std::uint32_t> selectedDisplayID) {
  if (!selectedDisplayID || snapshots.empty()) {
    return snapshots;
  }
  auto selected = std::find_if(snapshots.begin(), snapshots.end(), [&](const MacDisplaySnapshot& snapshot) {
    return snapshot.displayID == *selectedDisplayID;
  });
  if (selected != snapshots.end()) {
    std::rotate(snapshots.begin(), selected, selected + 1);
  }
  return snapshots;
}

}  // namespace velmora::MacDisplayCatalog
