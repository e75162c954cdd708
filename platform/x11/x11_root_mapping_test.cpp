#include "platform/x11/x11_root_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmora {
namespace {

// Left of the primary monitor, the primary, and one lower down on the right.
std::vector<X11Monitor> threeMonitors() {
  return {
      X11Monitor{10, "Left", false, PixelRect{0, 0, 1920, 1080}},
      X11Monitor{20, "Middle", true, PixelRect{1920, 0, 1280, 800}},
      X11Monitor{30, "Right", false, PixelRect{3200, 100, 640, 480}},
  };
}

TEST(X11RootMappingTest, GlobalPointsAndRootPixelsConvertBothWays) {
  const struct {
    double scale;
    GlobalPoint global;
    RootPoint root;
  } cases[] = {
      {1, {10, 20}, {1930, 20}},  {1, {-1920, 1079}, {0, 1079}}, {2, {-960, 0}, {0, 0}},
      {1.5, {100, 10}, {2070, 15}}, {1, {10.4, 20.6}, {1930, 21}},
  };
  for (const auto& [scale, global, root] : cases) {
    const X11RootMapping geometry(threeMonitors(), scale);
    EXPECT_EQ(geometry.rootPoint(global), root) << global.x << "," << global.y << " at scale " << scale;
  }
  for (const double scale : {1.0, 1.25, 3.0}) {
    const X11RootMapping geometry(threeMonitors(), scale);
    for (int x = 0; x < 3840; x += 37) {
      const RootPoint pixel{x, x % 1080};
      EXPECT_EQ(geometry.rootPoint(geometry.globalPoint(pixel)), pixel) << "scale " << scale;
    }
  }
}

TEST(X11RootMappingTest, UnusablePointsAndScalesStayInRange) {
  const X11RootMapping geometry(threeMonitors(), 1);
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  EXPECT_EQ(geometry.rootPoint({1e300, -1e300}), (RootPoint{32767, -32767}));
  EXPECT_EQ(geometry.rootPoint({kInfinity, -kInfinity}), (RootPoint{32767, -32767}));
  EXPECT_EQ(geometry.rootPoint({std::nan(""), 5}), (RootPoint{0, 5}));
  for (const double scale : {0.0, -2.0, std::nan(""), kInfinity}) {
    EXPECT_EQ(X11RootMapping(threeMonitors(), scale).rootPoint({-1920, 0}), (RootPoint{0, 0})) << scale;
  }
  EXPECT_EQ(X11RootMapping({}, 2).rootPoint({10, 20}), (RootPoint{20, 40}));
}

}  // namespace
}  // namespace velmora
