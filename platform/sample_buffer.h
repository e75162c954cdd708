#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace velmora {

// "420v": 8-bit Y'CbCr 4:2:0 in two planes (luma, then interleaved CbCr), video range.
inline constexpr std::uint32_t kPixelFormat420v = 0x34323076;

// One NV12 picture. Width and height are even; each plane is a single allocation with its own
// stride (bytes per row). Backends may recycle the storage through a pool once every reference
// is gone, so holders must not keep a picture longer than they need it.
class PixelBuffer {
 public:
  PixelBuffer(int width, int height);

  int width() const { return width_; }
  int height() const { return height_; }
  std::uint32_t pixelFormat() const { return kPixelFormat420v; }

  std::uint8_t* luma() { return luma_.data(); }
  const std::uint8_t* luma() const { return luma_.data(); }
  int lumaStride() const { return width_; }
  // Interleaved Cb, Cr: height / 2 rows of width bytes.
  std::uint8_t* chroma() { return chroma_.data(); }
  const std::uint8_t* chroma() const { return chroma_.data(); }
  int chromaStride() const { return width_; }

 private:
  int width_;
  int height_;
  std::vector<std::uint8_t> luma_;
  std::vector<std::uint8_t> chroma_;
};

enum class SampleOutputType { screen, audio };

// Asks a capture stream that is paced by its consumer for the next frame, to be ready at the
// given time (the earliest the consumer may be free). Any thread; harmless after the stream ended.
using NextFrameRequest = std::function<void(std::chrono::steady_clock::time_point readyAt)>;

// One captured frame as the capture service hands it on: not copied on the way.
struct SampleBuffer {
  std::shared_ptr<const PixelBuffer> pixelBuffer;  // none for a frame without picture
  // Seconds on the monotonic clock (CLOCK_MONOTONIC), the capture clock of the whole host.
  double presentationTime = 0;
  bool isValid = true;
  // Set by a stream paced by its consumer: the stream delivers the next frame once this is called.
  NextFrameRequest requestNextFrame;
};

}  // namespace velmora
