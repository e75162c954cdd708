#include "client/display_stream_decoder.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

#include "client/receiver_logger.h"

namespace velmora {
namespace {

// A stamp further off than this was not drawn by a host on this machine's clock (or misread).
constexpr std::chrono::seconds kMaximumPlausibleLatency{60};


std::optional<std::int64_t> latencyMicroseconds(const FrameStamp& stamp, std::chrono::steady_clock::time_point now) {
  const auto nowMicroseconds =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
  if (nowMicroseconds < 0 || stamp.captureTimeMicroseconds > static_cast<std::uint64_t>(nowMicroseconds)) {
    return std::nullopt;
  }
  const auto latency = static_cast<std::int64_t>(static_cast<std::uint64_t>(nowMicroseconds) - stamp.captureTimeMicroseconds);
  if (latency > std::chrono::duration_cast<std::chrono::microseconds>(kMaximumPlausibleLatency).count()) {
    return std::nullopt;
  }
  return latency;
}

}  // namespace

DisplayStreamDecoder::DisplayStreamDecoder(std::uint16_t displayID, const DisplayStreamSettings& settings,
                                           ReceiveStatisticsRecorder& statistics)
    : displayID_(displayID), settings_(settings), statistics_(statistics) {}

void DisplayStreamDecoder::handle(const ReassembledFrame& frame) {
  const auto reassembledAt = Clock::now();
  statistics_.recordFrame(displayID_, frame.isKeyframe);
  if (!admit(frame)) {
    statistics_.recordSkippedFrame(displayID_);
    requestKeyframe();
    return;
  }
  save(frame);
  decode(frame, reassembledAt);
}

bool DisplayStreamDecoder::admit(const ReassembledFrame& frame) {
  // The reassembler delivers each display's frames in order, so any jump means frames were lost.
  const bool followsLast = lastFrameID_ && frame.frameID == *lastFrameID_ + 1;
  lastFrameID_ = frame.frameID;
  if (frame.isKeyframe) {
    awaitingKeyframe_ = false;
    return true;
  }
  if (!followsLast && !awaitingKeyframe_) {
    receiverLogger().info("Display {}: frames lost before frame {}, waiting for a keyframe", displayID_, frame.frameID);
    awaitingKeyframe_ = true;
  }
  return !awaitingKeyframe_;
}

void DisplayStreamDecoder::requestKeyframe() {
  const auto now = std::chrono::steady_clock::now();
  if (!settings_.onKeyframeNeeded || (lastKeyframeRequest_ && now - *lastKeyframeRequest_ < keyframeRequestInterval)) {
    return;
  }
  lastKeyframeRequest_ = now;
  settings_.onKeyframeNeeded(displayID_);
}

void DisplayStreamDecoder::save(const ReassembledFrame& frame) {
  if (!settings_.saveStreamDirectory || saveState_ == SaveState::failed) {
    return;
  }
  const std::filesystem::path path = *settings_.saveStreamDirectory / fmt::format("display-{}.hevc", displayID_);
  if (saveState_ == SaveState::notStarted) {
    streamFile_.open(path, std::ios::binary | std::ios::app);
    if (!streamFile_) {
      receiverLogger().error("Display {}: cannot save the stream to {}: {}", displayID_, path.string(), std::strerror(errno));
      saveState_ = SaveState::failed;
      return;
    }
    saveState_ = SaveState::saving;
    receiverLogger().info("Display {}: saving the stream to {}", displayID_, path.string());
  }
  const auto payload = frame.payload();
  streamFile_.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
  streamFile_.flush();
  if (!streamFile_) {
    receiverLogger().error("Display {}: writing the stream to {} failed: {}; saving stopped", displayID_, path.string(),
                 std::strerror(errno));
    streamFile_.close();
    saveState_ = SaveState::failed;
  }
}

void DisplayStreamDecoder::decode(const ReassembledFrame& frame, Clock::time_point reassembledAt) {
  if (!decoder_ && !decoderUnavailable_) {
    auto created = HevcDecoder::create(settings_.decoderLimits);
    if (!created) {
      receiverLogger().error("Display {}: {}", displayID_, created.error());
      decoderUnavailable_ = true;
    } else {
      decoder_ = std::move(created.value());
    }
  }
  if (!decoder_) {
    countDecodeError("no decoder");
    return;
  }
  const HevcDecoder::Outcome outcome =
      decoder_->decode(frame.payload(), [&](const DecodedPicture& picture) { deliver(frame, picture, reassembledAt); });
  if (outcome.error) {
    countDecodeError(*outcome.error);
  }
}

void DisplayStreamDecoder::deliver(const ReassembledFrame& frame, const DecodedPicture& picture,
                                   Clock::time_point reassembledAt) {
  const auto decodedAt = Clock::now();
  if (picture.width != pictureWidth_ || picture.height != pictureHeight_) {
    receiverLogger().info("Display {}: decoding {}x{} pictures", displayID_, picture.width, picture.height);
    pictureWidth_ = picture.width;
    pictureHeight_ = picture.height;
  }
  ReceivedPicture received{displayID_, frame.frameID, frame.isKeyframe, picture.width, picture.height,
                           picture.luma, picture.lumaStride, std::nullopt, std::nullopt};
  PictureLatencies latencies;
  latencies.reassembledToDecoded = std::chrono::duration_cast<std::chrono::microseconds>(decodedAt - reassembledAt).count();
  if (picture.luma != nullptr) {
    received.stamp = readFrameStamp(picture.luma, picture.lumaStride, picture.width, picture.height);
  }
  if (received.stamp) {
    latencies.drawnToDecoded = latencyMicroseconds(*received.stamp, decodedAt);
    latencies.drawnToReassembled = latencyMicroseconds(*received.stamp, reassembledAt);
  }
  if (latencies.drawnToDecoded) {
    received.latencyMilliseconds = static_cast<double>(*latencies.drawnToDecoded) / 1000.0;
  }
  statistics_.recordPicture(displayID_, picture.width, picture.height, decodedAt, received.stamp.has_value(), latencies);
  if (settings_.onPicture) {
    settings_.onPicture(received);
  }
}

void DisplayStreamDecoder::countDecodeError(const std::string& reason) {
  statistics_.recordDecodeError(displayID_);
  if (velmora::log::isLoggedOccurrence(++decodeErrors_)) {
    receiverLogger().error("Display {}: decode error #{}: {}", displayID_, decodeErrors_, reason);
  }
}

}  // namespace velmora
