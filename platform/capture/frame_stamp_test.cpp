#include "platform/capture/frame_stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

namespace velmora {
namespace {

// An NV12 picture with a textured background; the stride may be wider than the picture.
struct Picture {
  Picture(int pictureWidth, int pictureHeight, int pictureStride)
      : width(pictureWidth), height(pictureHeight), stride(pictureStride),
        luma(static_cast<std::size_t>(stride * height)), chroma(luma.size() / 2, 90) {
    for (std::size_t index = 0; index < luma.size(); ++index) {
      luma[index] = static_cast<std::uint8_t>(40 + (index * 7) % 170);
    }
  }

  void draw(const FrameStamp& stamp) {
    drawFrameStamp(luma.data(), stride, chroma.data(), stride, width, height, stamp);
  }
  std::optional<FrameStamp> read() const { return readFrameStamp(luma.data(), stride, width, height); }

  int width, height, stride;
  std::vector<std::uint8_t> luma, chroma;
};

TEST(FrameStampTest, ReadsBackWhatWasDrawnInTheTopLeftCornerEvenUnderNoiseWithNeutralChromaUnderIt) {
  std::mt19937 random(4711);
  std::uniform_int_distribution<int> noise(-40, 40);
  for (const auto& [width, height, stride] : {std::array{256, 128, 256}, std::array{1920, 1080, 2048}}) {
    for (const FrameStamp stamp : {FrameStamp{0, 0}, FrameStamp{0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF},
                                   FrameStamp{0x80000001, 0x0123456789ABCDEF}}) {
      Picture picture(width, height, stride);
      const Picture untouched = picture;
      picture.draw(stamp);
      EXPECT_EQ(picture.read(), stamp) << width << "x" << height << " frame " << stamp.frameNumber;
      int wrongPixels = 0;
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const auto index = static_cast<std::size_t>(y * stride + x);
          const bool inStamp = x < kFrameStampWidth && y < kFrameStampHeight;
          wrongPixels += !inStamp && picture.luma[index] != untouched.luma[index];
          const bool underStamp = x < kFrameStampWidth && y < kFrameStampHeight / 2;
          wrongPixels += y < height / 2 && picture.chroma[index] != (underStamp ? 128 : 90);
        }
      }
      EXPECT_EQ(wrongPixels, 0) << width << "x" << height;
      for (auto& value : picture.luma) {
        value = static_cast<std::uint8_t>(std::clamp(value + noise(random), 0, 255));
      }
      EXPECT_EQ(picture.read(), stamp) << "under noise of 40 luma steps";
    }
  }
}

TEST(FrameStampTest, DamagedMissingOrUnplaceableStampsReadAsNone) {
  Picture stamped(320, 240, 320);
  stamped.draw({42, 42000});
  // Inverted blocks (column, row): in the payload, in the checksum, in the start pattern.
  for (const auto& [column, row] : {std::pair{5, 3}, std::pair{15, 7}, std::pair{0, 0}}) {
    Picture picture = stamped;
    for (int y = row * 16; y < row * 16 + 16; ++y) {
      for (int x = column * 16; x < column * 16 + 16; ++x) {
        auto& value = picture.luma[static_cast<std::size_t>(y * picture.stride + x)];
        value = value > 128 ? 16 : 235;
      }
    }
    EXPECT_EQ(picture.read(), std::nullopt) << column << "," << row;
  }
  EXPECT_EQ(Picture(320, 240, 320).read(), std::nullopt);
  for (const auto& [width, height] : {std::pair{255, 128}, std::pair{256, 127}}) {
    Picture picture(width, height, width);
    picture.draw({1, 2});
    EXPECT_EQ(picture.read(), std::nullopt) << width << "x" << height << " is too small for a stamp";
  }
  EXPECT_EQ(readFrameStamp(nullptr, 320, 320, 240), std::nullopt);
  EXPECT_EQ(readFrameStamp(stamped.luma.data(), 300, 320, 240), std::nullopt) << "a stride below the width is refused";
}

}  // namespace
}  // namespace velmora
