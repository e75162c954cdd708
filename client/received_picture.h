#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/capture/frame_stamp.h"

namespace velmora {

// One decoded picture, as handed to the receiver's picture callback.
struct ReceivedPicture {
  std::uint16_t displayID = 0;
  std::uint32_t frameID = 0;
  bool isKeyframe = false;
  int width = 0;
  int height = 0;
  // Valid only during the callback; null unless the decoder produced 8-bit samples.
  const std::uint8_t* luma = nullptr;
  int lumaStride = 0;
  std::optional<FrameStamp> stamp;  // the virtual display's stamp, when one could be read
  std::optional<double> latencyMilliseconds;  // now minus the stamp's capture time, when plausible
};

// Both run on the receive thread; they must not destroy the receiver.
using PictureHandler = std::function<void(const ReceivedPicture& picture)>;
// The display lost frames and waits for a keyframe: the owner may ask the host for one.
using KeyframeNeededHandler = std::function<void(std::uint16_t displayID)>;

}  // namespace velmora
