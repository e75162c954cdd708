#include "platform/virtual/frame_stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

namespace velmora {
namespace {

// An NV12 picture with a stride wider than the picture, filled with a textured background.
struct Picture {
  Picture(int pictureWidth, int pictureHeight, int pictureStride)
      : width(pictureWidth),
        height(pictureHeight),
        stride(pictureStride),
        luma(static_cast<std::size_t>(stride * height)),
        chroma(static_cast<std::size_t>(stride * height / 2)) {
    for (std::size_t index = 0; index < luma.size(); ++index) {
      luma[index] = static_cast<std::uint8_t>(40 + (index * 7) % 170);
    }
    std::fill(chroma.begin(), chroma.end(), std::uint8_t{90});
  }

  void draw(const FrameStamp& stamp) { drawFrameStamp(luma.data(), stride, chroma.data(), stride, width, height, stamp); }
  std::optional<FrameStamp> read() const { return readFrameStamp(luma.data(), stride, width, height); }

  int width;
  int height;
  int stride;
  std::vector<std::uint8_t> luma;
  std::vector<std::uint8_t> chroma;
};

TEST(FrameStampTest, ReadsBackWhatWasDrawn) {
  const std::vector<FrameStamp> stamps = {
      {0, 0},
      {1, 123456789},
      {0xFFFFFFFF, std::numeric_limits<std::uint64_t>::max()},
      {0x80000001, 0x0123456789ABCDEF},
  };
  for (const auto& [width, height, stride] : std::vector<std::tuple<int, int, int>>{{256, 128, 256}, {1920, 1080, 2048}}) {
    for (const auto& stamp : stamps) {
      Picture picture(width, height, stride);
      picture.draw(stamp);
      EXPECT_EQ(picture.read(), stamp) << width << "x" << height << " frame " << stamp.frameNumber;
    }
  }
}

TEST(FrameStampTest, DrawsOnlyTheTopLeftCornerWithNeutralChromaUnderIt) {
  Picture picture(640, 360, 640);
  const Picture untouched = picture;
  picture.draw({7, 99});

  for (int y = 0; y < 360; ++y) {
    for (int x = 0; x < 640; ++x) {
      const auto index = static_cast<std::size_t>(y * 640 + x);
      if (x < kFrameStampWidth && y < kFrameStampHeight) {
        EXPECT_TRUE(picture.luma[index] == 16 || picture.luma[index] == 235) << x << "," << y;
      } else {
        ASSERT_EQ(picture.luma[index], untouched.luma[index]) << x << "," << y;
      }
    }
  }
  for (int y = 0; y < 180; ++y) {
    for (int x = 0; x < 640; ++x) {
      const auto index = static_cast<std::size_t>(y * 640 + x);
      const bool under = x < kFrameStampWidth && y < kFrameStampHeight / 2;
      ASSERT_EQ(picture.chroma[index], under ? 128 : 90) << x << "," << y;
    }
  }
}

TEST(FrameStampTest, SurvivesNoiseOfFortyLumaStepsOnEveryPixel) {
  std::mt19937 random(4711);
  std::uniform_int_distribution<int> noise(-40, 40);
  std::uniform_int_distribution<std::uint32_t> frameNumbers;
  std::uniform_int_distribution<std::uint64_t> times;
  for (int round = 0; round < 20; ++round) {
    Picture picture(320, 240, 320);
    const FrameStamp stamp{frameNumbers(random), times(random)};
    picture.draw(stamp);
    for (auto& value : picture.luma) {
      value = static_cast<std::uint8_t>(std::clamp(value + noise(random), 0, 255));
    }
    EXPECT_EQ(picture.read(), stamp) << "round " << round;
  }
}

TEST(FrameStampTest, ADamagedOrMissingStampReadsAsNone) {
  Picture stamped(320, 240, 320);
  stamped.draw({42, 42000});
  const auto invertBlock = [](Picture& picture, int column, int row) {
    for (int y = row * 16; y < row * 16 + 16; ++y) {
      for (int x = column * 16; x < column * 16 + 16; ++x) {
        auto& value = picture.luma[static_cast<std::size_t>(y * picture.stride + x)];
        value = value > 128 ? 16 : 235;
      }
    }
  };

  Picture payloadBitFlipped = stamped;
  invertBlock(payloadBitFlipped, 5, 3);
  Picture checksumBitFlipped = stamped;
  invertBlock(checksumBitFlipped, 15, 7);
  Picture startPatternBroken = stamped;
  invertBlock(startPatternBroken, 0, 0);
  Picture grey(320, 240, 320);
  std::fill(grey.luma.begin(), grey.luma.end(), std::uint8_t{128});
  Picture random(320, 240, 320);
  std::mt19937 generator(1);
  for (auto& value : random.luma) {
    value = static_cast<std::uint8_t>(generator() % 2 == 0 ? 16 : 235);
  }

  EXPECT_TRUE(stamped.read().has_value());
  EXPECT_EQ(payloadBitFlipped.read(), std::nullopt);
  EXPECT_EQ(checksumBitFlipped.read(), std::nullopt);
  EXPECT_EQ(startPatternBroken.read(), std::nullopt);
  EXPECT_EQ(grey.read(), std::nullopt);
  EXPECT_EQ(random.read(), std::nullopt);
}

TEST(FrameStampTest, PicturesTooSmallGetNoStampAndReadNone) {
  for (const auto& [width, height] : std::vector<std::pair<int, int>>{{255, 128}, {256, 127}, {16, 16}}) {
    Picture picture(width, height, width);
    const Picture untouched = picture;
    picture.draw({1, 2});
    EXPECT_EQ(picture.luma, untouched.luma) << width << "x" << height;
    EXPECT_EQ(picture.chroma, untouched.chroma);
    EXPECT_EQ(picture.read(), std::nullopt);
  }
  EXPECT_EQ(readFrameStamp(nullptr, 320, 320, 240), std::nullopt);
  Picture narrowStride(320, 240, 320);
  narrowStride.draw({1, 2});
  EXPECT_EQ(readFrameStamp(narrowStride.luma.data(), 300, 320, 240), std::nullopt) << "a stride below the width is refused";
}

}  // namespace
}  // namespace velmora
