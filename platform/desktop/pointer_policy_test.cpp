#include "platform/desktop/pointer_policy.h"

#include <gtest/gtest.h>

#include <limits>

namespace velmora {
namespace {

TEST(PointerPolicyTest, ScrollsAreLimitedToAHundredLinesAndTurnedToTheDesktopsAxes) {
  constexpr std::int32_t kMost = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kLeast = std::numeric_limits<std::int32_t>::min();
  const struct {
    std::int32_t wheel;
    std::int32_t lines;
    std::int32_t steps;
  } cases[] = {
      {0, 0, 0},         {1, 1, -1},         {-1, -1, 1},          {99, 99, -99},       {100, 100, -100},
      {101, 100, -100},  {-100, -100, 100},  {-101, -100, 100},    {kMost, 100, -100},  {kLeast, -100, 100},
  };
  for (const auto& [wheel, lines, steps] : cases) {
    EXPECT_EQ(clampedScrollLines(wheel), lines) << wheel;
    EXPECT_EQ(axisSteps(wheel), steps) << wheel;
  }
}

TEST(PointerPolicyTest, HeldButtonsAreReleasedOnceEachInTheOrderPressed) {
  const struct {
    const char* what;
    std::vector<std::pair<std::uint32_t, bool>> presses;
    std::vector<std::uint32_t> released;
  } cases[] = {
      {"none", {}, {}},
      {"pressed and released", {{BTN_LEFT, true}, {BTN_LEFT, false}}, {}},
      {"still down", {{BTN_RIGHT, true}, {BTN_LEFT, true}, {BTN_RIGHT, false}, {BTN_MIDDLE, true}}, {BTN_LEFT, BTN_MIDDLE}},
      {"pressed twice", {{BTN_LEFT, true}, {BTN_LEFT, true}}, {BTN_LEFT}},
      {"released without a press", {{BTN_LEFT, false}}, {}},
  };
  for (const auto& [what, presses, released] : cases) {
    HeldButtons held;
    for (const auto& [button, down] : presses) {
      held.note(button, down);
    }
    EXPECT_EQ(held.releaseAll(), released) << what;
    EXPECT_TRUE(held.releaseAll().empty()) << what;
  }
}

}  // namespace
}  // namespace velmora
