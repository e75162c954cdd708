#include "video/capture_configuration.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/log/log.h"

namespace velmora {
namespace {

// Truncates toward zero, saturating at the 64-bit range; NaN becomes 0.
std::int64_t truncateSaturating(double value) {
  if (std::isnan(value)) {
    return 0;
  }
  // 2^63 is exact in a double; every double below it converts without overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (value >= kLimit) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (value <= -kLimit) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return static_cast<std::int64_t>(value);
}

std::int64_t pixelCount(double value) {
  if (!std::isfinite(value)) {
    return 0;
  }
  return std::max<std::int64_t>(0, truncateSaturating(value));
}

}  // namespace

CaptureSize displayCaptureSize(std::optional<std::uint32_t> displayID, const std::vector<MacDisplaySnapshot>& snapshots) {
  if (snapshots.empty()) {
    return kFallbackCaptureSize;
  }
  auto chosen = snapshots.begin();
  if (displayID) {
    const auto match = std::find_if(snapshots.begin(), snapshots.end(),
                                    [&](const MacDisplaySnapshot& snapshot) { return snapshot.displayID == *displayID; });
    if (match != snapshots.end()) {
      chosen = match;
    }
  }

  const Rect& frame = chosen->frame;
  const double scale = chosen->backingScaleFactor;
  // Compositors hand out scales in single precision (mutter's 2.1262457 for 1920 pixels over 903
  // points): points times such a scale may fall a hair under the whole pixel count it stands for.
  constexpr double kScaleSlack = 1e-3;
  const std::int64_t nativeWidth = pixelCount(frame.width * scale + kScaleSlack);
  const std::int64_t nativeHeight = pixelCount(frame.height * scale + kScaleSlack);
  const log::Logger logger("Capture");
  logger.info("Display frame={}x{}pt scale={:f} nativePixels={}x{}", truncateSaturating(frame.width),
              truncateSaturating(frame.height), scale, nativeWidth, nativeHeight);

  CaptureSize result{nativeWidth, nativeHeight};
  const std::int64_t largerSide = std::max(nativeWidth, nativeHeight);
  if (largerSide > kMaximumCaptureDimension) {
    const double factor = static_cast<double>(kMaximumCaptureDimension) / static_cast<double>(largerSide);
    result.width = pixelCount(static_cast<double>(nativeWidth) * factor);
    result.height = pixelCount(factor * static_cast<double>(nativeHeight));
  }
  logger.info("CaptureTarget {}x{}px (maxDimension={})", result.width, result.height, kMaximumCaptureDimension);
  return result;
}

CaptureSize displayCaptureSize(std::optional<std::uint32_t> displayID, const DisplaySource& source) {
  return displayCaptureSize(displayID, MacDisplayCatalog::currentSnapshots(source));
}

CaptureConfiguration defaultCaptureConfiguration(const std::vector<MacDisplaySnapshot>& snapshots) {
  const CaptureSize size = displayCaptureSize(std::nullopt, snapshots);
  return CaptureConfiguration{size.width, size.height, 60, kPixelFormat420v};
}

}  // namespace velmora
