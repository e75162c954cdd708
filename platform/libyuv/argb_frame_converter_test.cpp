#include "platform/libyuv/argb_frame_converter.h"

#include <gtest/gtest.h>

#include "platform/testing/capture_stream_testing.h"

namespace velmora {
namespace {

// A picture in memory order B, G, R, A, filled with one colour per half (left, right).
class TestImage {
 public:
  TestImage(int width, int height, std::uint32_t left, std::uint32_t right)
      : width_(width), height_(height), pixels_(static_cast<std::size_t>(width * height)) {
    for (std::size_t index = 0; index < pixels_.size(); ++index) {
      pixels_[index] = static_cast<int>(index % static_cast<std::size_t>(width)) < width / 2 ? left : right;
    }
  }

  ArgbImage view() { return ArgbImage{reinterpret_cast<std::uint8_t*>(pixels_.data()), width_ * 4, width_, height_}; }
  std::uint32_t at(int x, int y) const { return pixels_[static_cast<std::size_t>(y * width_ + x)] & 0xffffff; }

 private:
  int width_, height_;
  std::vector<std::uint32_t> pixels_;
};

using testing::Yuv;

Yuv sample(const PixelBuffer& picture, int x, int y) {
  const std::uint8_t* chroma = picture.chroma() + (y / 2) * picture.chromaStride() + (x / 2) * 2;
  return {picture.luma()[y * picture.lumaStride() + x], chroma[0], chroma[1]};
}

constexpr int kTolerance = 2;  // libyuv's rounding differs between its SIMD paths

// The colours themselves are checked through the capture backend's tests.
TEST(ArgbFrameConverterTest, ScalesToThePictureSizeKeepingWhereThingsAre) {
  TestImage image(640, 360, 0xff0000, 0x0000ff);
  ArgbFrameConverter converter;
  PixelBuffer smaller(320, 180);
  converter.convert(image.view(), smaller);
  EXPECT_TRUE(testing::isNear(sample(smaller, 40, 90), {82, 90, 240}, kTolerance)) << "left quarter, scaled down";
  EXPECT_TRUE(testing::isNear(sample(smaller, 280, 90), {41, 240, 110}, kTolerance)) << "right quarter, scaled down";

  const ArgbImage sameSize = converter.scaled(image.view(), 640, 360);
  EXPECT_EQ(sameSize.pixels, image.view().pixels) << "no copy when the size matches";
}

TEST(ArgbFrameConverterTest, CursorIsBlendedAtItsHotSpotAndClippedToThePicture) {
  // 4x2 cursor: an opaque red column, a half-transparent black column (premultiplied), two clear ones.
  CursorImage cursor{{0xffff0000, 0x80000000, 0, 0, 0xffff0000, 0x80000000, 0, 0}, 4, 2, 1, 1};
  struct Case {
    const char* what;
    int x, y;
    std::vector<std::pair<std::pair<int, int>, std::uint32_t>> expected;  // (x, y) -> colour
  };
  const std::vector<Case> cases = {
      {"inside", 5, 5, {{{4, 4}, 0xff0000}, {{4, 5}, 0xff0000}, {{5, 4}, 0x7f7f7f}, {{4, 6}, 0xffffff}}},
      {"hanging over the top-left corner", 0, 0, {{{0, 0}, 0x7f7f7f}, {{1, 0}, 0xffffff}, {{0, 1}, 0xffffff}}},
      {"hanging over the bottom-right corner", 8, 8, {{{7, 7}, 0xff0000}, {{8, 7}, 0x7f7f7f}, {{9, 7}, 0xffffff}}},
      {"wholly outside", -10, 3, {{{0, 2}, 0xffffff}, {{0, 3}, 0xffffff}}},
  };
  for (const auto& testCase : cases) {
    TestImage image(10, 8, 0xffffff, 0xffffff);
    drawCursor(image.view(), cursor, testCase.x, testCase.y);
    for (const auto& [where, colour] : testCase.expected) {
      const std::uint32_t actual = image.at(where.first, where.second);
      for (const int shift : {0, 8, 16}) {
        EXPECT_NEAR(static_cast<int>((actual >> shift) & 0xff), static_cast<int>((colour >> shift) & 0xff), 1)
            << testCase.what << " at " << where.first << "," << where.second << std::hex << ": " << actual;
      }
    }
  }

  TestImage image(10, 8, 0xffffff, 0xffffff);
  drawCursor(image.view(), CursorImage{{0xffff0000}, 4, 2, 0, 0}, 2, 2);
  EXPECT_EQ(image.at(2, 2), 0xffffffU) << "a cursor with fewer pixels than its size is not drawn";
}

}  // namespace
}  // namespace velmora
