#pragma once

// What the end-to-end benchmark's screen animator and stamp reader share: the frame stamp as X
// pixels, the tally of the stamps read back from decoded pictures, and their argument formats.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/capture/frame_stamp.h"
#include "platform/x11/x11_monitor_layout.h"

namespace velmora {

// The stamp as 24-bit X pixels (0xRRGGBB), kFrameStampWidth x kFrameStampHeight, row after row:
// black where drawFrameStamp puts video-range black and white where it puts white, so that any
// RGB to 4:2:0 conversion gives back the luma it lays out.
std::vector<std::uint32_t> frameStampPixels(const FrameStamp& stamp);

// "WxH" (a picture size) or "WxH+X+Y" (an area of the screen); nothing for anything else,
// including sides of 0 or more than 16384 pixels.
std::optional<PixelRect> parsePictureArea(const std::string& text, bool withPosition);

// Counts decoded pictures of one stream and the stamps in them; latency is measured against the
// monotonic clock the stamps were drawn with.
class StampTally {
 public:
  using Clock = std::chrono::steady_clock;

  void addPicture(const std::uint8_t* luma, int lumaStride, int width, int height, Clock::time_point decodedAt);

  std::uint64_t pictures() const { return pictures_; }
  // {"pictures", "stampedPictures", "distinctStamps", "framesPerSecond", "latencyMilliseconds":
  // {"samples", "min", "median", "p95", "p99", "max"} or null}; frames per second over the span
  // from the first picture to the latest.
  nlohmann::json toJson() const;

 private:
  std::uint64_t pictures_ = 0;
  std::uint64_t stampedPictures_ = 0;
  // Pictures whose stamp differs from the previous stamp: the others repeat an older screen.
  std::uint64_t distinctStamps_ = 0;
  std::optional<std::uint32_t> lastFrameNumber_;
  std::optional<Clock::time_point> firstPictureAt_;
  Clock::time_point latestPictureAt_;
  std::vector<std::int64_t> latencies_;  // microseconds
};

}  // namespace velmora
