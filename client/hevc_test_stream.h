#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace velmora::testing {

struct EncodedTestFrame {
  std::vector<std::uint8_t> bytes;  // Annex B, parameter sets in front of every keyframe
  bool isKeyframe = false;
};

// Noise that changes every frame, so that every frame spans several datagrams.
void drawNoise(std::uint8_t* luma, int stride, int width, int height, int index);

// Twelve 320x192 frames of noise, a keyframe every sixth, encoded with libx265 through libavcodec in
// the host's real-time settings; nothing when this libavcodec was built without it.
std::optional<std::vector<EncodedTestFrame>> encodeTestStream();

// The datagrams of one frame, as the host's video server cuts them.
std::vector<std::vector<std::uint8_t>> datagramsOf(const EncodedTestFrame& frame, std::uint32_t frameID);

}  // namespace velmora::testing
