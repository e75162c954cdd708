#include "platform/desktop/display_identity.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace velmora {
namespace {

TEST(DisplayIdentityTest, NamesGiveStableDistinctNonzeroIDs) {
  // Clients keep the IDs of a host's displays across restarts: these values must not change.
  const struct {
    std::string name;
    std::uint32_t displayID;
  } cases[] = {
      {"", 0x811C9DC5u},         {"HEADLESS-1", 0x9F7AB330u}, {"HEADLESS-2", 0xA27AB7E9u},
      {"DP-1", 0x1DBAD777u},     {"Meta-0", 0xDD72466Du},     {"id 0", 0x0E839450u},
  };
  for (const auto& [name, displayID] : cases) {
    EXPECT_EQ(displayIDForName(name), displayID) << name;
    EXPECT_NE(displayIDForName(name), 0u) << name;
  }
  EXPECT_NE(displayIDForName("Meta-0"), displayIDForName("Meta-1"));
}

TEST(DisplayIdentityTest, PointsGoToTheDisplayThatHoldsThemElseTheNearest) {
  // Side by side, then one below the first: 1920x1080 at 0, 1280x800 at 1920, 800x600 below.
  const std::vector<Rect> layout = {{0, 0, 1920, 1080}, {1920, 0, 1280, 800}, {0, 1080, 800, 600}};
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const struct {
    const char* what;
    GlobalPoint point;
    std::optional<std::size_t> display;
  } cases[] = {
      {"inside the first", {100, 100}, 0},
      {"last pixel of the first", {1919, 1079}, 0},
      {"first pixel of the second", {1920, 0}, 1},
      {"between pixels at the seam", {1919.5, 10}, 0},
      {"beyond the right edge", {5000, 10}, 1},
      {"under the second, beside the third", {2500, 900}, 1},
      {"left of everything", {-300, 1200}, 2},
      {"far above", {100, -kInfinity}, 0},
      {"equally near two: the first", {1919.5, 900}, 0},
  };
  for (const auto& [what, point, display] : cases) {
    EXPECT_EQ(nearestDisplay(layout, point), display) << what;
  }
  EXPECT_EQ(nearestDisplay({}, GlobalPoint{0, 0}), std::nullopt);
  EXPECT_EQ(nearestDisplay({{0, 0, 0, 0}}, GlobalPoint{5, 5}), 0u);
}

}  // namespace
}  // namespace velmora
