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

TEST(MacDisplayCatalogTest, OrdersMainFirstThenLeftToRightThenBottomToTop) {
  struct Case {
    const char* what;
    std::vector<Candidate> candidates;
    std::uint32_t main;
    std::vector<std::uint32_t> expected;
  };
  const std::vector<Case> cases = {
      {"main first even when not leftmost",
       {candidate(1, 0, 0), candidate(2, 2560, 0), candidate(3, -1920, 0)}, 1, {1, 3, 2}},
      {"same column: lower first", {candidate(1, 0, 0), candidate(2, 1920, 1080), candidate(3, 1920, -1080)}, 1, {1, 3, 2}},
      {"same position: smaller number first", {candidate(9, 0, 0), candidate(7, 0, 0), candidate(8, 100, 0)}, 8, {8, 7, 9}},
      {"no main display among them", {candidate(5, 100, 0), candidate(4, 0, 0)}, 99, {4, 5}},
  };
  for (const auto& testCase : cases) {
    std::set<std::uint32_t> active;
    for (const auto& c : testCase.candidates) {
      active.insert(c.displayID);
    }
    const auto result = MacDisplayCatalog::snapshots(testCase.candidates, testCase.main, active, noMirrors);
    EXPECT_EQ(ids(result), testCase.expected) << testCase.what;
  }
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
  EXPECT_EQ(result[0].frame, (Rect{0, 0, 1920, 1080}));
  EXPECT_TRUE(result[0].isMain);
  EXPECT_FALSE(result[1].isMain);

  const auto unmirrored = MacDisplayCatalog::snapshots(candidates, 1, {1, 3, 4, 5}, noMirrors);
  EXPECT_EQ(ids(unmirrored), (std::vector<std::uint32_t>{1, 3, 4, 5}));
}

TEST(MacDisplayCatalogTest, RouteOrderMovesOnlyThePresentSelectionToTheFront) {
  const auto ordered =
      MacDisplayCatalog::snapshots({candidate(1, 0, 0), candidate(2, 1920, 0), candidate(3, 3840, 0)}, 1, {1, 2, 3}, noMirrors);

  EXPECT_EQ(ids(MacDisplayCatalog::routeOrderedSnapshots(ordered, 3u)), (std::vector<std::uint32_t>{3, 1, 2}));
  EXPECT_EQ(ids(MacDisplayCatalog::routeOrderedSnapshots(ordered, 42u)), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(ids(MacDisplayCatalog::routeOrderedSnapshots(ordered, std::nullopt)), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_TRUE(MacDisplayCatalog::routeOrderedSnapshots({}, 1u).empty());
}

}  // namespace
}  // namespace velmora
