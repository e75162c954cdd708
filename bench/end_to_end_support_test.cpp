#include "bench/end_to_end_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/libyuv/argb_frame_converter.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = StampTally::Clock;

std::uint64_t microsecondsOf(Clock::time_point time) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count());
}

// The host turns the screen's pixels into NV12 before encoding: the stamp painted on a busy
// screen must read back from that.
TEST(EndToEndSupportTest, StampPixelsReadBackAfterConversionToNv12) {
  constexpr int kWidth = 640;
  constexpr int kHeight = 360;
  std::vector<std::uint32_t> screen(kWidth * kHeight);
  for (std::size_t index = 0; index < screen.size(); ++index) {
    screen[index] = static_cast<std::uint32_t>(index * 2654435761U);  // noise around the stamp
  }
  const FrameStamp stamp{0x01020304, 0x0000'1234'5678'9ABCULL};
  const std::vector<std::uint32_t> pixels = frameStampPixels(stamp);
  ASSERT_EQ(pixels.size(), static_cast<std::size_t>(kFrameStampWidth * kFrameStampHeight));
  for (int y = 0; y < kFrameStampHeight; ++y) {
    std::memcpy(screen.data() + y * kWidth, pixels.data() + y * kFrameStampWidth, kFrameStampWidth * 4);
  }

  PixelBuffer picture(kWidth, kHeight);
  ArgbFrameConverter::convertToNv12(
      ArgbImage{reinterpret_cast<std::uint8_t*>(screen.data()), kWidth * 4, kWidth, kHeight}, picture);
  EXPECT_EQ(readFrameStamp(picture.luma(), picture.lumaStride(), kWidth, kHeight), stamp);
}

TEST(EndToEndSupportTest, ParsesSizesAndAreasAndRefusesAnythingElse) {
  EXPECT_EQ(parsePictureArea("1920x1080", false), (PixelRect{0, 0, 1920, 1080}));
  EXPECT_EQ(parsePictureArea("2880x1620+1920+0", true), (PixelRect{1920, 0, 2880, 1620}));
  EXPECT_EQ(parsePictureArea("16384x1+0+16384", true), (PixelRect{0, 16384, 16384, 1}));
  for (const char* bad : {"", "1920", "1920x", "x1080", "0x1080", "1920x0", "16385x1080", "-1x1080", "+1x1080",
                          "1920X1080", "1920x1080 ", "1920x1080+0+0", "99999999999x1"}) {
    EXPECT_FALSE(parsePictureArea(bad, false)) << bad;
  }
  for (const char* bad : {"1920x1080", "1920x1080+0", "1920x1080+0+", "1920x1080+-1+0", "1920x1080+0+-0",
                          "1920x1080+0+0+0", "1920x1080-0-0", "1920x1080+16385+0"}) {
    EXPECT_FALSE(parsePictureArea(bad, true)) << bad;
  }
}

TEST(EndToEndSupportTest, TallyCountsStampsRepeatsAndLatencies) {
  constexpr int kWidth = 320;
  constexpr int kHeight = 180;
  const auto start = Clock::time_point{} + 100s;
  StampTally tally;
  const auto addPicture = [&](std::optional<FrameStamp> stamp, Clock::time_point decodedAt) {
    std::vector<std::uint8_t> luma(kWidth * kHeight, 128);
    if (stamp) {
      drawFrameStamp(luma.data(), kWidth, nullptr, 0, kWidth, kHeight, *stamp);
    }
    tally.addPicture(luma.data(), kWidth, kWidth, kHeight, decodedAt);
  };
  addPicture(FrameStamp{1, microsecondsOf(start)}, start + 10ms);
  addPicture(FrameStamp{1, microsecondsOf(start)}, start + 26ms);  // the same screen grabbed again
  addPicture(FrameStamp{2, microsecondsOf(start + 16ms)}, start + 30ms);
  addPicture(std::nullopt, start + 35ms);
  addPicture(FrameStamp{3, microsecondsOf(start + 1s)}, start + 50ms);  // from the future: no latency

  const nlohmann::json json = tally.toJson();
  EXPECT_EQ(json.at("pictures"), 5);
  EXPECT_EQ(json.at("stampedPictures"), 4);
  EXPECT_EQ(json.at("distinctStamps"), 3);
  EXPECT_DOUBLE_EQ(json.at("framesPerSecond").get<double>(), 100.0);
  const nlohmann::json& latency = json.at("latencyMilliseconds");
  EXPECT_EQ(latency.at("samples"), 3);
  EXPECT_DOUBLE_EQ(latency.at("min").get<double>(), 10);
  EXPECT_DOUBLE_EQ(latency.at("median").get<double>(), 14);
  EXPECT_DOUBLE_EQ(latency.at("p99").get<double>(), 26);
  EXPECT_DOUBLE_EQ(latency.at("max").get<double>(), 26);
}

TEST(EndToEndSupportTest, EmptyTallyHasNoRateAndNoLatency) {
  const nlohmann::json json = StampTally().toJson();
  EXPECT_EQ(json.at("pictures"), 0);
  EXPECT_EQ(json.at("framesPerSecond"), 0.0);
  EXPECT_TRUE(json.at("latencyMilliseconds").is_null());
}

}  // namespace
}  // namespace velmora
