#include "displays/mac_display_catalog.h"

#include <gtest/gtest.h>

#include <map>

namespace velmora {
namespace {

using MacDisplayCatalog::Candidate;

std::vector<std::uint32_t> ids(const std::vector<MacDisplaySnapshot>& snapshots) {
  std::vector<std::uint32_t> result;
  for (const auto& snapshot : snapshots) {
    result.push_back(snapshot.displayID);
  }
  return result;
}

Candidate candidate(std::uint32_t id, double x, double y, std::string name = "") {
  return Candidate{id, name.empty() ? "Display " + std::to_string(id) : name, Rect{x, y, 1920, 1080}, 1};
}

std::uint32_t noMirrors(std::uint32_t) { return 0; }

TEST(MacDisplayCatalogTest, OrdersMainFirstThenLeftToRightThenBottomToTopThenByNumber) {
  const std::vector<Candidate> candidates = {candidate(1, 0, 0), candidate(2, 2560, 0), candidate(3, -1920, 0),
                                             candidate(4, 2560, -1080), candidate(6, 9000, 0), candidate(5, 9000, 0)};
  const auto ordered = MacDisplayCatalog::snapshots(candidates, 1, {1, 2, 3, 4, 5, 6}, noMirrors);

  EXPECT_EQ(ids(ordered), (std::vector<std::uint32_t>{1, 3, 4, 2, 5, 6}));
  EXPECT_EQ(ids(MacDisplayCatalog::routeOrderedSnapshots(ordered, 5u)), (std::vector<std::uint32_t>{5, 1, 3, 4, 2, 6}));
  EXPECT_EQ(ids(MacDisplayCatalog::routeOrderedSnapshots(ordered, 42u)), ids(ordered));
}

TEST(MacDisplayCatalogTest, LeavesOutUnnumberedInactiveMirroredAndRepeatedScreens) {
  const std::vector<Candidate> candidates = {candidate(0, -500, 0),         candidate(1, 0, 0, "First listing"),
                                             candidate(2, 1920, 0),         candidate(3, 3840, 0),
                                             candidate(1, 900, 900, "Again"), candidate(4, 5760, 0),
                                             candidate(5, 7680, 0)};
  const std::map<std::uint32_t, std::uint32_t> mirrors = {{3, 4}, {5, 4}};
  const auto mirrored = [&](std::uint32_t id) { return mirrors.contains(id) ? mirrors.at(id) : 0u; };

  const auto result = MacDisplayCatalog::snapshots(candidates, 1, {1, 3, 4, 5}, mirrored);

  // 0 has no number, 2 is not active, 3 and 5 mirror 4, the second listing of 1 is dropped.
  ASSERT_EQ(ids(result), (std::vector<std::uint32_t>{1, 4}));
  EXPECT_EQ(result[0].name, "First listing");
  EXPECT_TRUE(result[0].isMain);

  const auto unmirrored = MacDisplayCatalog::snapshots(candidates, 1, {1, 3, 4, 5}, noMirrors);
  EXPECT_EQ(ids(unmirrored), (std::vector<std::uint32_t>{1, 3, 4, 5}));
}

}  // namespace
}  // namespace velmora
