#include "video/capture_configuration.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/virtual/virtual_display_source.h"

namespace velmora {
namespace {

MacDisplaySnapshot display(std::uint32_t id, double width, double height, double scale) {
  return MacDisplaySnapshot{id, "Display " + std::to_string(id), Rect{0, 0, width, height}, scale, id == 1};
}

TEST(DisplayCaptureSizeTest, CapsTheLongerSideAt2880WithOneTruncatedFactorAndNeverGoesNegative) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  struct Case {
    const char* what;
    double width, height, scale;
    CaptureSize expected;
  };
  const std::vector<Case> cases = {
      {"5120x2880 native, factor 0.5625", 2560, 1440, 2, {2880, 1620}},
      {"3024x1964 native truncates 1870.47", 1512, 982, 2, {2880, 1870}},
      {"a single-precision scale a hair short of 1920 pixels", 903, 500, 2.1262457370758057, {1920, 1063}},
      {"longer side exactly 2880 unchanged", 2880, 1000, 1, {2880, 1000}},
      {"NaN scale", 1920, 1080, std::numeric_limits<double>::quiet_NaN(), {0, 0}},
      {"infinite width counts as no pixels", kInfinity, 1080, 1, {0, 1080}},
      {"beyond 64 bits saturates, then scales", 1e300, 1, 1, {2880, 0}},
  };
  for (const auto& testCase : cases) {
    EXPECT_EQ(displayCaptureSize(std::nullopt, {display(1, testCase.width, testCase.height, testCase.scale)}), testCase.expected)
        << testCase.what;
  }
}

TEST(DisplayCaptureSizeTest, ChoosesTheMatchingDisplayOrElseTheFirstOrElseFullHd) {
  const std::vector<MacDisplaySnapshot> snapshots = {display(1, 1440, 900, 1), display(2, 1280, 800, 2)};
  EXPECT_EQ(displayCaptureSize(2, snapshots), (CaptureSize{2560, 1600}));
  EXPECT_EQ(displayCaptureSize(99, snapshots), (CaptureSize{1440, 900}));
  EXPECT_EQ(displayCaptureSize(7, std::vector<MacDisplaySnapshot>{}), (CaptureSize{1920, 1080}));
  EXPECT_EQ(displayCaptureSize(2, VirtualDisplaySource({{1920, 1080, 1}, {1512, 982, 2}})), (CaptureSize{2880, 1870}));
}

}  // namespace
}  // namespace velmora
