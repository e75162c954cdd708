#include "client/receive_statistics.h"

#include <gtest/gtest.h>

#include <numeric>

namespace velmora {
namespace {

using namespace std::chrono_literals;

TEST(ReceiveStatisticsTest, SummarizesLatencies) {
  struct Case {
    std::vector<std::int64_t> microseconds;
    double minimum, median, p95, p99, maximum;
  };
  std::vector<std::int64_t> hundred(100);
  std::iota(hundred.begin(), hundred.end(), 1000);  // 1.000 ms to 1.099 ms, reversed below
  std::reverse(hundred.begin(), hundred.end());
  const std::vector<Case> cases{
      {{4000, 1000, 3000, 2000}, 1, 2.5, 4, 4, 4},
      {hundred, 1.0, 1.0495, 1.094, 1.098, 1.099},
  };
  for (const Case& testCase : cases) {
    const auto summary = summarizeLatencies(testCase.microseconds);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->samples, testCase.microseconds.size());
    EXPECT_DOUBLE_EQ(summary->minimumMilliseconds, testCase.minimum);
    EXPECT_DOUBLE_EQ(summary->medianMilliseconds, testCase.median);
    EXPECT_DOUBLE_EQ(summary->p95Milliseconds, testCase.p95);
    EXPECT_DOUBLE_EQ(summary->p99Milliseconds, testCase.p99);
    EXPECT_DOUBLE_EQ(summary->maximumMilliseconds, testCase.maximum);
  }
  EXPECT_FALSE(summarizeLatencies({}));
}

TEST(ReceiveStatisticsTest, JsonCarriesEveryCounter) {
  ReceiveStatisticsRecorder recorder;
  const auto now = ReceiveStatisticsRecorder::Clock::now();
  recorder.recordFrame(1, true);
  recorder.recordFrame(1, false);
  recorder.recordIncompleteFramesDropped(1, 2);
  recorder.recordSkippedFrame(1);
  recorder.recordDecodeError(1);
  recorder.recordPortChange(now - std::chrono::milliseconds(40));
  recorder.recordPicture(1, 1920, 1080, now, true, 12'500);
  recorder.recordPicture(0, 1280, 720, now, false, std::nullopt);
  FrameReassemblerStatistics reassembler{7, 3, 4, 5, 6};
  recorder.recordTransport({100, 1, 2, 8, reassembler});

  const nlohmann::json json = toJson(recorder.snapshot());
  ASSERT_EQ(json.at("displays").size(), 2u);
  EXPECT_TRUE(json.at("displays")[0].at("latencyMilliseconds").is_null());
  const nlohmann::json& display = json.at("displays")[1];
  EXPECT_EQ(display, nlohmann::json::parse(R"({
    "displayID": 1, "framesCompleted": 2, "keyframes": 1, "incompleteFramesDropped": 2,
    "framesSkippedAwaitingKeyframe": 1, "decodeErrors": 1, "picturesDecoded": 1, "stampedPictures": 1,
    "width": 1920, "height": 1080, "framesPerSecond": 0.0,
    "latencyMilliseconds": {"samples": 1, "min": 12.5, "median": 12.5, "p95": 12.5, "p99": 12.5, "max": 12.5}})"));
  // Only the first picture after the change counts.
  EXPECT_EQ(json.at("videoPortChanges"), nlohmann::json::parse(R"({"count": 1, "firstPictureAfterMilliseconds":
    {"samples": 1, "min": 40.0, "median": 40.0, "p95": 40.0, "p99": 40.0, "max": 40.0}})"));
}

}  // namespace
}  // namespace velmora
