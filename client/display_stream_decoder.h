#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "client/hevc_decoder.h"
#include "client/receive_statistics.h"
#include "client/received_picture.h"
#include "protocol/frame_reassembler.h"

namespace velmora {

struct DisplayStreamSettings {
  HevcDecoder::Limits decoderLimits;
  std::optional<std::filesystem::path> saveStreamDirectory;  // display-N.hevc files, appended
  PictureHandler onPicture;
  KeyframeNeededHandler onKeyframeNeeded;
};

// What happens to one display's reassembled frames: frames are fed to the decoder from a keyframe
// on and after any gap in the frame numbers only from the next keyframe on, since a picture that
// refers to a lost one cannot be shown correctly. Runs on the receive thread only.
class DisplayStreamDecoder {
 public:
  static constexpr std::chrono::seconds keyframeRequestInterval{1};

  DisplayStreamDecoder(std::uint16_t displayID, const DisplayStreamSettings& settings,
                       ReceiveStatisticsRecorder& statistics);

  void handle(const ReassembledFrame& frame);

 private:
  bool admit(const ReassembledFrame& frame);
  void requestKeyframe();
  void save(const ReassembledFrame& frame);
  using Clock = std::chrono::steady_clock;

  void decode(const ReassembledFrame& frame, Clock::time_point reassembledAt);
  void deliver(const ReassembledFrame& frame, const DecodedPicture& picture, Clock::time_point reassembledAt);
  void countDecodeError(const std::string& reason);

  enum class SaveState { notStarted, saving, failed };

  const std::uint16_t displayID_;
  const DisplayStreamSettings& settings_;
  ReceiveStatisticsRecorder& statistics_;

  std::optional<std::uint32_t> lastFrameID_;
  bool awaitingKeyframe_ = true;
  std::optional<std::chrono::steady_clock::time_point> lastKeyframeRequest_;
  std::unique_ptr<HevcDecoder> decoder_;
  bool decoderUnavailable_ = false;
  std::uint64_t decodeErrors_ = 0;
  int pictureWidth_ = 0;
  int pictureHeight_ = 0;
  SaveState saveState_ = SaveState::notStarted;
  std::ofstream streamFile_;
};

}  // namespace velmora
