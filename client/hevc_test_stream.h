#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "protocol/video_frame_metadata.h"

namespace velmora::testing {

struct EncodedTestFrame {
  std::vector<std::uint8_t> bytes;  // Annex B, parameter sets in front of every keyframe
  bool isKeyframe = false;
};

struct TestStreamSettings {
  int width = 320;
  int height = 192;
  int frameCount = 12;
  int keyframeInterval = 6;
};

// Draws picture `index` into the luma plane; chroma stays neutral grey.
using TestPictureDrawer = std::function<void(std::uint8_t* luma, int stride, int width, int height, int index)>;

// Noise that changes every frame, so that every frame spans several datagrams.
void drawNoise(std::uint8_t* luma, int stride, int width, int height, int index);

// Encodes with libx265 through libavcodec, in the host's real-time settings; nothing when this
// libavcodec was built without it.
std::optional<std::vector<EncodedTestFrame>> encodeTestStream(const TestStreamSettings& settings,
                                                              const TestPictureDrawer& draw = drawNoise);

// The datagrams of one frame, as the host's video server cuts them.
std::vector<std::vector<std::uint8_t>> datagramsOf(const EncodedTestFrame& frame, std::uint32_t frameID,
                                                   std::uint16_t displayID = 0);

}  // namespace velmora::testing
