#include "client/receive_statistics.h"

#include <gtest/gtest.h>

#include <numeric>

namespace velmora {
namespace {

using namespace std::chrono_literals;

TEST(ReceiveStatisticsTest, SummarizesLatenciesWithInterpolatedMedianAndNearestRankPercentiles) {
  std::vector<std::int64_t> hundred(100);
  std::iota(hundred.rbegin(), hundred.rend(), 1000);  // 1.099 ms down to 1.000 ms
  const auto summary = summarizeLatencies(hundred);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->samples, 100u);
  EXPECT_DOUBLE_EQ(summary->minimumMilliseconds, 1.0);
  EXPECT_DOUBLE_EQ(summary->medianMilliseconds, 1.0495);
  EXPECT_DOUBLE_EQ(summary->p95Milliseconds, 1.094);
  EXPECT_DOUBLE_EQ(summary->p99Milliseconds, 1.098);
  EXPECT_DOUBLE_EQ(summary->maximumMilliseconds, 1.099);
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
  recorder.recordPicture(1, 1920, 1080, now, true, {12'500, 10'000, 2'500});
  recorder.recordPicture(0, 1280, 720, now, false, {});
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
    "latencyMilliseconds": {"samples": 1, "min": 12.5, "median": 12.5, "p95": 12.5, "p99": 12.5, "max": 12.5},
    "drawnToReassembledMilliseconds": {"samples": 1, "min": 10, "median": 10, "p95": 10, "p99": 10, "max": 10},
    "reassembledToDecodedMilliseconds": {"samples": 1, "min": 2.5, "median": 2.5, "p95": 2.5, "p99": 2.5, "max": 2.5}})"));
}

}  // namespace
}  // namespace velmora
