#pragma once

#include <cstdint>
#include <optional>

namespace velmora {

// A frame's number and capture time, drawn into the picture so that a client that decodes the
// video can measure the latency on the same machine.
struct FrameStamp {
  std::uint32_t frameNumber = 0;
  std::uint64_t captureTimeMicroseconds = 0;  // monotonic clock

  bool operator==(const FrameStamp&) const = default;
};

// The stamp covers this many luma pixels at the top-left corner: 16 x 8 blocks of 16 x 16 pixels,
// black or white. Pictures smaller than that carry no stamp.
inline constexpr int kFrameStampWidth = 256;
inline constexpr int kFrameStampHeight = 128;

// Draws the stamp into an NV12 picture, with neutral chroma under it (chroma may be null).
void drawFrameStamp(std::uint8_t* luma, int lumaStride, std::uint8_t* chroma, int chromaStride, int width, int height,
                    const FrameStamp& stamp);

// Reads a stamp back; none when there is none or it was damaged beyond what its checksum allows.
std::optional<FrameStamp> readFrameStamp(const std::uint8_t* luma, int lumaStride, int width, int height);

}  // namespace velmora
