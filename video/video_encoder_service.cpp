#include "video/video_encoder_service.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <variant>

#include "platform/capture/frame_stamp.h"

namespace velmora {

namespace {

constexpr std::array<std::uint8_t, 4> kStartCode{0x00, 0x00, 0x00, 0x01};
constexpr double kMicrosecondsPerSecond = 1'000'000.0;

double secondsOnCaptureClock(FrameStageLog::Clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

std::string milliseconds(const std::optional<double>& value) {
  return value ? fmt::format("{:.1f}", *value) : std::string("-");
}

std::optional<std::uint64_t> presentationTimestampMicroseconds(double seconds) {
  const double microseconds = seconds * kMicrosecondsPerSecond;
  // 2^64 itself is exactly representable; every double below it converts without overflow.
  constexpr double limit = 18446744073709551616.0;
  if (!(microseconds >= 0 && microseconds < limit)) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(microseconds);
}

bool isSyncSample(const EncodedSample& sample) {
  if (!sample.attachments || sample.attachments->empty()) {
    return false;
  }
  return !sample.attachments->front().notSync.value_or(false);
}

std::optional<std::span<const std::uint8_t>> extractParameterSet(const EncodedFormatDescription& description,
                                                                 std::size_t index) {
  auto parameterSet = description.parameterSetAt(index);
  if (parameterSet && parameterSet->empty()) {
    return std::nullopt;
  }
  return parameterSet;
}

NALUnit startCodeUnit(std::span<const std::uint8_t> payload) {
  NALUnit unit;
  unit.reserve(kStartCode.size() + payload.size());
  unit.insert(unit.end(), kStartCode.begin(), kStartCode.end());
  unit.insert(unit.end(), payload.begin(), payload.end());
  return unit;
}

bool beginsWithStartCode(std::span<const std::uint8_t> unit) {
  return unit.size() > kStartCode.size() && std::equal(kStartCode.begin(), kStartCode.end(), unit.begin());
}

std::int64_t keyFrameInterval(std::int64_t frameRate) {
  if (frameRate > std::numeric_limits<std::int64_t>::max() / 2) {
    return std::numeric_limits<std::int64_t>::max();
  }
  if (frameRate < std::numeric_limits<std::int64_t>::min() / 2) {
    return std::numeric_limits<std::int64_t>::min();
  }
  return 2 * frameRate;
}

}  // namespace

VideoEncoderService::VideoEncoderService(std::uint16_t displayID, VideoEncoderBackendFactory makeCompressionSession)
    : displayID_(displayID), makeCompressionSession_(std::move(makeCompressionSession)) {}

VideoEncoderService::~VideoEncoderService() {
  // The session's thread uses the output fields below; it must be gone before they are.
  std::unique_ptr<VideoEncoderBackend> session;
  {
    std::lock_guard lock(sessionLock_);
    session = std::move(compressionSession_);
  }
  session.reset();
  if (const auto summary = stageLog_.takeSummary(std::nullopt)) {
    logStages(*summary);
  }
}

void VideoEncoderService::configure(std::int64_t width, std::int64_t height, std::int64_t bitRate,
                                    std::int64_t frameRate) {
  std::lock_guard lock(sessionLock_);
  compressionSession_.reset();

  EncoderSettings settings;
  settings.width = width;
  settings.height = height;
  settings.averageBitRate = bitRate;
  settings.maxKeyFrameInterval = keyFrameInterval(frameRate);
  settings.expectedFrameRate = frameRate;

  // The session calls back into this object, which outlives it: the destructor and every
  // replacement destroy the session (and so wait for its thread) first.
  auto created = makeCompressionSession_(
      settings, [this](EncoderStatus status, const EncodedSample* sample) { handleEncodedFrame(status, sample); });
  if (auto* error = std::get_if<VideoEncoderBackendError>(&created)) {
    const EncoderStatus status = error->status != kEncoderStatusOK ? error->status : kEncoderStatusEncoderUnavailable;
    logger_.error("Failed to create compression session: {}", status);
    logger_.error("Compression session unavailable: {}", error->description);
    return;
  }
  auto& session = std::get<std::unique_ptr<VideoEncoderBackend>>(created);
  if (!session) {
    logger_.error("Failed to create compression session: {}", kEncoderStatusEncoderUnavailable);
    return;
  }
  compressionSession_ = std::move(session);
  logger_.info("EncoderSession configured: {}x{}px @ {}Mbps ({}bps, {}fps)", width, height, bitRate / 1'000'000,
               bitRate, frameRate);
}

void VideoEncoderService::encode(const SampleBuffer& sampleBuffer) {
  if (!sampleBuffer.pixelBuffer) {
    return;
  }
  const double presentationTime = sampleBuffer.presentationTime;
  const PixelBuffer& picture = *sampleBuffer.pixelBuffer;
  // Pictures that carry a stamp of when they were drawn (virtual displays, the benchmark's
  // animator) tell how long they waited for the capture; reading a few blocks costs microseconds.
  if (const auto stamp = readFrameStamp(picture.luma(), picture.lumaStride(), picture.width(), picture.height())) {
    stageLog_.record(FrameStageLog::drawnToCaptured,
                     presentationTime - static_cast<double>(stamp->captureTimeMicroseconds) / kMicrosecondsPerSecond);
  }

  std::lock_guard lock(sessionLock_);
  if (!compressionSession_) {
    return;
  }
  // Refused before encoding: a frame dropped after it was encoded would leave later frames
  // referring to a picture the client never receives.
  if (!presentationTimestampMicroseconds(presentationTime)) {
    logInvalidPresentationTime(presentationTime);
    return;
  }
  if (!firstFrameLogged_) {
    logger_.info("EncoderInput {}x{}px", sampleBuffer.pixelBuffer->width(), sampleBuffer.pixelBuffer->height());
    firstFrameLogged_ = true;
  }
  const bool forceKeyframe = std::exchange(forceNextKeyframe_, false);
  compressionSession_->encodeFrame(sampleBuffer.pixelBuffer, presentationTime, forceKeyframe,
                                   sampleBuffer.requestNextFrame);
}

void VideoEncoderService::requestKeyframe() {
  std::lock_guard lock(sessionLock_);
  forceNextKeyframe_ = true;
}

bool VideoEncoderService::setBitRate(std::int64_t bitsPerSecond) {
  std::lock_guard lock(sessionLock_);
  return compressionSession_ && compressionSession_->setBitRate(bitsPerSecond);
}

HEVCParameterSets VideoEncoderService::currentParameterSets() const {
  std::lock_guard lock(outputLock_);
  return HEVCParameterSets{currentVPSStorage_, currentSPSStorage_, currentPPSStorage_};
}

std::optional<VideoEncoderStatistics> VideoEncoderService::sessionStatistics() const {
  std::lock_guard lock(sessionLock_);
  if (!compressionSession_) {
    return std::nullopt;
  }
  return compressionSession_->statistics();
}

void VideoEncoderService::setNextFrameIDForTesting(std::uint32_t frameID) {
  std::lock_guard lock(outputLock_);
  frameID_ = frameID;
}

void VideoEncoderService::handleEncodedFrame(EncoderStatus status, const EncodedSample* sample) {
  if (status != kEncoderStatusOK || sample == nullptr) {
    return;
  }
  const auto encodedAt = FrameStageLog::Clock::now();
  std::int64_t count = 0;
  {
    std::lock_guard lock(outputLock_);
    count = ++encodedCount_;
  }
  if (log::isLoggedOccurrence(count)) {
    logger_.debug("Encoded frame #{}", count);
  }

  const bool isKeyframe = isSyncSample(*sample);
  if (sample->nalUnits.empty()) {
    return;
  }
  if (!std::ranges::all_of(sample->nalUnits, beginsWithStartCode)) {
    logMalformedFrame();
    return;
  }

  std::vector<NALUnit> nalUnits;
  if (isKeyframe && sample->formatDescription) {
    const auto vps = extractParameterSet(*sample->formatDescription, 0);
    const auto sps = extractParameterSet(*sample->formatDescription, 1);
    const auto pps = extractParameterSet(*sample->formatDescription, 2);
    storeParameterSets(vps, sps, pps);
    for (const auto& parameterSet : {vps, sps, pps}) {
      if (parameterSet) {
        nalUnits.push_back(startCodeUnit(*parameterSet));
      }
    }
  }
  for (const auto unit : sample->nalUnits) {
    nalUnits.emplace_back(unit.begin(), unit.end());
  }

  const auto presentationTimestamp = presentationTimestampMicroseconds(sample->presentationTime);
  if (!presentationTimestamp) {
    logInvalidPresentationTime(sample->presentationTime);
    return;
  }
  std::uint64_t encodedSize = 0;
  for (const NALUnit& unit : nalUnits) {
    encodedSize += unit.size();
  }
  if (encodedSize > std::numeric_limits<std::uint32_t>::max()) {
    logger_.error("Dropping encoded frame of {} bytes: too large for one frame", encodedSize);
    return;
  }

  std::uint32_t frameID = 0;
  {
    std::lock_guard lock(outputLock_);
    frameID = frameID_++;
  }
  const VideoFrameMetadata metadata{frameID, *presentationTimestamp, isKeyframe,
                                    static_cast<std::uint32_t>(encodedSize), displayID_};
  if (onEncodedNALUnits) {
    onEncodedNALUnits(std::move(nalUnits), metadata);
  }
  recordStages(*sample, encodedAt);
}

void VideoEncoderService::recordStages(const EncodedSample& sample, FrameStageLog::Clock::time_point encodedAt) {
  // The send ran inside the callback above, so the datagrams are with the kernel by now.
  const auto sentAt = FrameStageLog::Clock::now();
  if (sample.encodeStartTime > 0) {
    stageLog_.record(FrameStageLog::waiting, sample.encodeStartTime - sample.presentationTime);
    stageLog_.record(FrameStageLog::encoding, secondsOnCaptureClock(encodedAt) - sample.encodeStartTime);
  }
  stageLog_.record(FrameStageLog::sending, std::chrono::duration<double>(sentAt - encodedAt).count());
  if (const auto summary = stageLog_.takeSummary(sentAt)) {
    logStages(*summary);
  }
}

void VideoEncoderService::logStages(const FrameStageLog::Summary& summary) {
  const auto& medians = summary.medianMilliseconds;
  logger_.info("Frame stages of stream {} over {} frames (median ms): drawn to captured {}, waiting {}, encoding {}, "
               "sending {}",
               displayID_, summary.frames, milliseconds(medians[FrameStageLog::drawnToCaptured]),
               milliseconds(medians[FrameStageLog::waiting]), milliseconds(medians[FrameStageLog::encoding]),
               milliseconds(medians[FrameStageLog::sending]));
}

void VideoEncoderService::storeParameterSets(const std::optional<std::span<const std::uint8_t>>& vps,
                                             const std::optional<std::span<const std::uint8_t>>& sps,
                                             const std::optional<std::span<const std::uint8_t>>& pps) {
  std::lock_guard lock(outputLock_);
  if (vps) {
    currentVPSStorage_.emplace(vps->begin(), vps->end());
  }
  if (sps) {
    currentSPSStorage_.emplace(sps->begin(), sps->end());
  }
  if (pps) {
    currentPPSStorage_.emplace(pps->begin(), pps->end());
  }
}

void VideoEncoderService::logMalformedFrame() {
  const std::int64_t count = ++malformedFrameCount_;
  if (log::isLoggedOccurrence(count)) {
    logger_.error("Dropping encoded frame with a NAL unit that lacks its start code (dropped so far: {})", count);
  }
}

void VideoEncoderService::logInvalidPresentationTime(double seconds) {
  // Throttled like the per-frame lines, so that a broken clock cannot flood the log.
  const std::int64_t count = ++invalidPresentationTimeCount_;
  if (log::isLoggedOccurrence(count)) {
    logger_.error("Dropping frame with invalid presentation time: {} (dropped so far: {})", seconds, count);
  }
}

}  // namespace velmora
