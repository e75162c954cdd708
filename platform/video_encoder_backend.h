#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/sample_buffer.h"

namespace velmora {

// The settings of one HEVC compression session, set once when it is created.
struct EncoderSettings {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t averageBitRate = 0;       // bits per second
  std::int64_t maxKeyFrameInterval = 0;  // frames
  std::int64_t expectedFrameRate = 0;  // frames per second

  bool operator==(const EncoderSettings&) const = default;
};

// Status codes of a session: 0 is success, anything else a failure.
using EncoderStatus = std::int32_t;
inline constexpr EncoderStatus kEncoderStatusOK = 0;
inline constexpr EncoderStatus kEncoderStatusInvalidSettings = -1;
inline constexpr EncoderStatus kEncoderStatusEncoderUnavailable = -2;
inline constexpr EncoderStatus kEncoderStatusEncodeFailed = -3;


struct SampleAttachment {
  std::optional<bool> notSync;  // absent: a sync sample
};

struct EncodedFormatDescription {
  // Raw HEVC parameter sets (no start code, no length): 0 VPS, 1 SPS, 2 PPS. A missing entry or an
  // index past the end fails extraction.
  std::vector<std::optional<std::span<const std::uint8_t>>> parameterSets;

  std::optional<std::span<const std::uint8_t>> parameterSetAt(std::size_t index) const {
    return index < parameterSets.size() ? parameterSets[index] : std::nullopt;
  }
};

// One encoded frame. Every span points into the session's memory and is valid only during the
// output callback that carries it.
struct EncodedSample {
  std::optional<std::vector<SampleAttachment>> attachments;  // none: no attachments array at all
  // The frame's NAL units in order, each beginning with the start code 00 00 00 01 as the wire
  // carries them, so that the encoder service copies each out as it stands. Empty: no frame.
  std::vector<std::span<const std::uint8_t>> nalUnits;
  std::optional<EncodedFormatDescription> formatDescription;
  double presentationTime = 0;  // seconds on the capture clock
  double encodeStartTime = 0;   // seconds on the capture clock when the session took the frame in; 0: unknown
};

struct VideoEncoderStatistics {
  std::uint64_t submittedFrames = 0;
  // Frames that waited for a busy encoder and were replaced by a newer one before it got to them.
  std::uint64_t replacedFrames = 0;
  std::uint64_t encodedFrames = 0;
};

// A platform HEVC compression session. Encoding is asynchronous: encodeFrame returns at once and the
// result arrives through the output callback on the session's own thread, in input order.
// Destroying the session invalidates it: a frame still waiting is dropped, the one being encoded
// is finished and delivered, and no callback comes afterwards. The output callback must therefore
// not destroy its session, nor wait for a thread that is destroying it.
class VideoEncoderBackend {
 public:
  // The sample is null when the session produced nothing for a frame.
  using OutputCallback = std::function<void(EncoderStatus status, const EncodedSample* sample)>;

  virtual ~VideoEncoderBackend() = default;

  // Never blocks on an encode in progress; a frame still waiting for the encoder is replaced.
  // requestNextFrame (may be empty) is called when the session takes the frame in, with the time by
  // which it wants the next one (at the earliest it may be done with this one).
  virtual void encodeFrame(std::shared_ptr<const PixelBuffer> pixelBuffer, double presentationTime,
                           bool forceKeyframe, NextFrameRequest requestNextFrame) = 0;
  // Changes the average bit rate for the frames that follow; false when the value is out of range.
  virtual bool setBitRate(std::int64_t bitsPerSecond) = 0;
  virtual VideoEncoderStatistics statistics() const = 0;
};

struct VideoEncoderBackendError {
  EncoderStatus status = kEncoderStatusEncoderUnavailable;
  std::string description;
};

using VideoEncoderBackendCreation = std::variant<std::unique_ptr<VideoEncoderBackend>, VideoEncoderBackendError>;

// Creates a session for the settings; the callback is called on the session's thread.
using VideoEncoderBackendFactory =
    std::function<VideoEncoderBackendCreation(const EncoderSettings& settings, VideoEncoderBackend::OutputCallback output)>;

}  // namespace velmora
