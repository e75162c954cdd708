#include "video/frame_stage_log.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velmora {
namespace {

using namespace std::chrono_literals;

TEST(FrameStageLogTest, SummarizesMediansOncePerIntervalAndLeavesOutMisreadDurations) {
  FrameStageLog log(10s);
  const auto start = FrameStageLog::Clock::now();
  for (const double seconds : {0.004, 0.001, 0.003, 0.002, -0.5, std::nan("")}) {
    log.record(FrameStageLog::sending, seconds);
  }
  log.record(FrameStageLog::encoding, 0.030);
  EXPECT_FALSE(log.takeSummary(start));
  EXPECT_FALSE(log.takeSummary(start + 9s));

  const auto summary = log.takeSummary(start + 10s);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->frames, 4u);
  EXPECT_DOUBLE_EQ(*summary->medianMilliseconds[FrameStageLog::sending], 2.5);
  EXPECT_DOUBLE_EQ(*summary->medianMilliseconds[FrameStageLog::encoding], 30);
  EXPECT_FALSE(summary->medianMilliseconds[FrameStageLog::waiting]);

  log.record(FrameStageLog::sending, 0.001);
  EXPECT_FALSE(log.takeSummary(start + 19s));  // a new interval began with the last summary
  ASSERT_TRUE(log.takeSummary(std::nullopt));
  EXPECT_FALSE(log.takeSummary(std::nullopt));  // nothing sent since
}

}  // namespace
}  // namespace velmora
