#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "displays/mac_display_catalog.h"
#include "platform/display_source.h"
#include "platform/sample_buffer.h"

namespace velmora {

struct CaptureSize {
  std::int64_t width = 0;
  std::int64_t height = 0;

  bool operator==(const CaptureSize&) const = default;
};

struct CaptureConfiguration {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t frameRate = 60;
  std::uint32_t pixelFormat = kPixelFormat420v;
  // Frames only as the consumer asks for them (SampleBuffer::requestNextFrame).
  bool pacedByConsumer = false;

  bool operator==(const CaptureConfiguration&) const = default;
};

inline constexpr std::int64_t kMaximumCaptureDimension = 2880;
inline constexpr CaptureSize kFallbackCaptureSize{1920, 1080};

// The native pixel size of the chosen display (the first one, or the one with displayID), with
// the longer side capped at kMaximumCaptureDimension. Logs two "Capture" lines unless there is
// no display at all. A size product that is not finite or is negative counts as 0 pixels; a
// product beyond the 64-bit range counts as the largest 64-bit value.
CaptureSize displayCaptureSize(std::optional<std::uint32_t> displayID, const std::vector<MacDisplaySnapshot>& snapshots);
// The same on the catalog's current snapshots of `source`.
CaptureSize displayCaptureSize(std::optional<std::uint32_t> displayID, const DisplaySource& source);

// What a new capture service holds before its owner gives it a configuration.
CaptureConfiguration defaultCaptureConfiguration(const std::vector<MacDisplaySnapshot>& snapshots);

}  // namespace velmora
