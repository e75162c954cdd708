#include "bench/end_to_end_support.h"

#include <charconv>

#include "client/receive_statistics.h"

namespace velmora {
namespace {

constexpr int kMaximumSide = 16384;  // pixels
// A stamp further off than this was misread or drawn on another machine's clock.
constexpr std::chrono::seconds kMaximumPlausibleLatency{60};

// Reads a decimal number at `position` up to the next character that is not a digit.
std::optional<int> readNumber(const std::string& text, std::size_t& position, int minimum, int maximum) {
  if (position >= text.size() || text[position] < '0' || text[position] > '9') {
    return std::nullopt;  // from_chars would take a sign
  }
  int value = 0;
  const char* begin = text.data() + position;
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
  if (error != std::errc() || value < minimum || value > maximum) {
    return std::nullopt;
  }
  position += static_cast<std::size_t>(end - begin);
  return value;
}

bool readCharacter(const std::string& text, std::size_t& position, char expected) {
  if (position >= text.size() || text[position] != expected) {
    return false;
  }
  ++position;
  return true;
}

}  // namespace

std::vector<std::uint32_t> frameStampPixels(const FrameStamp& stamp) {
  std::vector<std::uint8_t> luma(static_cast<std::size_t>(kFrameStampWidth) * kFrameStampHeight);
  drawFrameStamp(luma.data(), kFrameStampWidth, nullptr, 0, kFrameStampWidth, kFrameStampHeight, stamp);
  std::vector<std::uint32_t> pixels(luma.size());
  for (std::size_t index = 0; index < luma.size(); ++index) {
    pixels[index] = luma[index] >= 128 ? 0xFFFFFFU : 0x000000U;
  }
  return pixels;
}

std::optional<PixelRect> parsePictureArea(const std::string& text, bool withPosition) {
  std::size_t position = 0;
  const auto width = readNumber(text, position, 1, kMaximumSide);
  if (!width || !readCharacter(text, position, 'x')) {
    return std::nullopt;
  }
  const auto height = readNumber(text, position, 1, kMaximumSide);
  if (!height) {
    return std::nullopt;
  }
  PixelRect area{0, 0, *width, *height};
  if (withPosition) {
    if (!readCharacter(text, position, '+')) {
      return std::nullopt;
    }
    const auto x = readNumber(text, position, 0, kMaximumSide);
    if (!x || !readCharacter(text, position, '+')) {
      return std::nullopt;
    }
    const auto y = readNumber(text, position, 0, kMaximumSide);
    if (!y) {
      return std::nullopt;
    }
    area.x = *x;
    area.y = *y;
  }
  if (position != text.size()) {
    return std::nullopt;
  }
  return area;
}

void StampTally::addPicture(const std::uint8_t* luma, int lumaStride, int width, int height, Clock::time_point decodedAt) {
  ++pictures_;
  if (!firstPictureAt_) {
    firstPictureAt_ = decodedAt;
  }
  latestPictureAt_ = decodedAt;
  const auto stamp = readFrameStamp(luma, lumaStride, width, height);
  if (!stamp) {
    return;
  }
  ++stampedPictures_;
  if (lastFrameNumber_ != stamp->frameNumber) {
    ++distinctStamps_;
    lastFrameNumber_ = stamp->frameNumber;
  }
  const auto now = std::chrono::duration_cast<std::chrono::microseconds>(decodedAt.time_since_epoch()).count();
  const auto latency = now - static_cast<std::int64_t>(stamp->captureTimeMicroseconds);
  if (latency >= 0 && latency <= std::chrono::duration_cast<std::chrono::microseconds>(kMaximumPlausibleLatency).count()) {
    latencies_.push_back(latency);
  }
}

nlohmann::json StampTally::toJson() const {
  double framesPerSecond = 0;
  if (firstPictureAt_ && pictures_ > 1) {
    const std::chrono::duration<double> span = latestPictureAt_ - *firstPictureAt_;
    if (span.count() > 0) {
      framesPerSecond = static_cast<double>(pictures_ - 1) / span.count();
    }
  }
  nlohmann::json latency = nullptr;
  if (const auto summary = summarizeLatencies(latencies_)) {
    latency = {{"samples", summary->samples},
               {"min", summary->minimumMilliseconds},
               {"median", summary->medianMilliseconds},
               {"p95", summary->p95Milliseconds},
               {"p99", summary->p99Milliseconds},
               {"max", summary->maximumMilliseconds}};
  }
  return {{"pictures", pictures_},
          {"stampedPictures", stampedPictures_},
          {"distinctStamps", distinctStamps_},
          {"framesPerSecond", framesPerSecond},
          {"latencyMilliseconds", std::move(latency)}};
}

}  // namespace velmora
