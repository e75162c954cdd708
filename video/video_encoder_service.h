#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/log/log.h"
#include "platform/sample_buffer.h"
#include "platform/video_encoder_backend.h"
#include "protocol/video_frame_metadata.h"
#include "video/frame_stage_log.h"

namespace velmora {

using NALUnit = std::vector<std::uint8_t>;

struct HEVCParameterSets {
  std::optional<NALUnit> vps;
  std::optional<NALUnit> sps;
  std::optional<NALUnit> pps;
};

// Turns captured frames into HEVC through a compression session and hands each encoded frame on
// as start-code-prefixed NAL units (VPS, SPS and PPS first on keyframes) with its metadata.
// Not movable: the session's output callback refers to this object, which outlives the session.
class VideoEncoderService {
 public:
  using EncodedNALUnitsCallback = std::function<void(std::vector<NALUnit> nalUnits, const VideoFrameMetadata& metadata)>;

  VideoEncoderService(std::uint16_t displayID, VideoEncoderBackendFactory makeCompressionSession);
  ~VideoEncoderService();

  VideoEncoderService(const VideoEncoderService&) = delete;
  VideoEncoderService& operator=(const VideoEncoderService&) = delete;

  // (Re)creates the session; a failure leaves none, and frames are dropped until the next success.
  void configure(std::int64_t width, std::int64_t height, std::int64_t bitRate, std::int64_t frameRate);
  // Called on the capture thread; hands the frame to the session without waiting for the encode.
  void encode(const SampleBuffer& sampleBuffer);
  // The next submitted frame is encoded as a keyframe.
  void requestKeyframe();
  // Live change of the current session's average bit rate; false without a session or when refused.
  bool setBitRate(std::int64_t bitsPerSecond);

  std::uint16_t displayID() const { return displayID_; }
  HEVCParameterSets currentParameterSets() const;
  // Statistics of the current session (none without one).
  std::optional<VideoEncoderStatistics> sessionStatistics() const;
  void setNextFrameIDForTesting(std::uint32_t frameID);

  // Set once by the owner right after construction; called on the session's thread, no lock held.
  // configure() and destruction wait for a callback in progress while holding sessionLock, so the
  // callback must not call them, nor wait for a thread that does.
  EncodedNALUnitsCallback onEncodedNALUnits;

 private:
  void handleEncodedFrame(EncoderStatus status, const EncodedSample* sample);
  void storeParameterSets(const std::optional<std::span<const std::uint8_t>>& vps,
                          const std::optional<std::span<const std::uint8_t>>& sps,
                          const std::optional<std::span<const std::uint8_t>>& pps);
  void logInvalidPresentationTime(double seconds);
  void logMalformedFrame();
  void recordStages(const EncodedSample& sample, FrameStageLog::Clock::time_point encodedAt);
  void logStages(const FrameStageLog::Summary& summary);

  const std::uint16_t displayID_;
  const VideoEncoderBackendFactory makeCompressionSession_;
  log::Logger logger_{"VideoEncoder"};

  mutable std::mutex sessionLock_;
  std::unique_ptr<VideoEncoderBackend> compressionSession_;
  bool forceNextKeyframe_ = false;
  bool firstFrameLogged_ = false;

  mutable std::mutex outputLock_;
  std::uint32_t frameID_ = 0;
  std::int64_t encodedCount_ = 0;
  std::optional<NALUnit> currentVPSStorage_;
  std::optional<NALUnit> currentSPSStorage_;
  std::optional<NALUnit> currentPPSStorage_;

  std::atomic<std::int64_t> invalidPresentationTimeCount_{0};
  std::atomic<std::int64_t> malformedFrameCount_{0};
  FrameStageLog stageLog_{std::chrono::seconds(10)};
};

}  // namespace velmora
