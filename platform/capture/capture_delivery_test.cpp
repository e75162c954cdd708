#include "platform/capture/capture_delivery.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = FrameSchedule::Clock;

// Every capture loop spaces its frames by this one rule.
TEST(FrameScheduleTest, KeepsWholeIntervalsWhileFramesComeAndStartsAfreshAfterAStillSpell) {
  enum class Step { take, postpone };
  struct Case {
    const char* name;
    std::vector<std::pair<Step, int>> steps;  // at milliseconds
    std::optional<int> nextDue;               // milliseconds; none: due at once
  };
  const Case cases[] = {
      {"nothing taken yet", {}, std::nullopt},
      {"one frame", {{Step::take, 5}}, 15},
      {"a late wake-up does not shift the schedule", {{Step::take, 0}, {Step::take, 12}}, 20},
      {"after a still spell", {{Step::take, 0}, {Step::take, 35}}, 45},
      {"no picture free", {{Step::take, 0}, {Step::postpone, 10}}, 20},
  };
  const auto start = Clock::now();
  const auto at = [&](int milliseconds) { return start + std::chrono::milliseconds(milliseconds); };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    FrameSchedule schedule(10ms);
    for (const auto& [step, milliseconds] : test.steps) {
      if (step == Step::take) {
        schedule.frameTaken(at(milliseconds));
      } else {
        schedule.postpone(at(milliseconds));
      }
    }
    ASSERT_EQ(schedule.nextDue().has_value(), test.nextDue.has_value());
    if (test.nextDue) {
      EXPECT_EQ(*schedule.nextDue(), at(*test.nextDue));
      EXPECT_FALSE(schedule.isDue(at(*test.nextDue) - 1ms));
      EXPECT_TRUE(schedule.isDue(at(*test.nextDue)));
    } else {
      EXPECT_TRUE(schedule.isDue(start));
    }
  }
}

}  // namespace
}  // namespace velmora
