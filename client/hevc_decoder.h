#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/result.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace velmora {

struct DecodedPicture {
  int width = 0;
  int height = 0;
  const std::uint8_t* luma = nullptr;  // 8-bit luma plane; null for other sample formats
  int lumaStride = 0;
};

// One display's HEVC decoder (libavcodec), fed one access unit (a frame's Annex-B bytes) at a time
// and set up so that each access unit yields its picture at once. Not thread-safe.
class HevcDecoder {
 public:
  struct Limits {
    int maxPictureSide = 8192;
    // HEVC's largest picture (level 6.2); keeps a hostile parameter set from reserving gigabytes.
    std::int64_t maxPicturePixels = std::int64_t{8192} * 4352;
  };
  struct Outcome {
    int pictures = 0;
    std::optional<std::string> error;  // the access unit, or a picture it yielded, was refused
  };
  // The picture is valid only during the call.
  using PictureSink = std::function<void(const DecodedPicture& picture)>;

  static Result<std::unique_ptr<HevcDecoder>> create(Limits limits);

  struct Resources;
  HevcDecoder(Limits limits, std::unique_ptr<Resources> resources);
  ~HevcDecoder();
  HevcDecoder(const HevcDecoder&) = delete;
  HevcDecoder& operator=(const HevcDecoder&) = delete;

  Outcome decode(std::span<const std::uint8_t> accessUnit, const PictureSink& sink);

 private:
  std::optional<std::string> deliverPictures(const PictureSink& sink, int& pictures);

  Limits limits_;
  std::unique_ptr<Resources> resources_;
  std::vector<std::uint8_t> paddedInput_;  // the decoder reads a few bytes past the end of its input
};

}  // namespace velmora
