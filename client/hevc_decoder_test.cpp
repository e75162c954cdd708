#include "client/hevc_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "client/hevc_test_stream.h"

namespace velmora {
namespace {

using testing::EncodedTestFrame;

std::vector<EncodedTestFrame> testStream(const testing::TestStreamSettings& settings = {}) {
  auto frames = testing::encodeTestStream(settings);
  return frames ? *frames : std::vector<EncodedTestFrame>{};
}

struct Decoded {
  int pictures = 0;
  int width = 0;
  int height = 0;
  bool lumaReadable = false;
  int errors = 0;
};

Decoded decodeAll(HevcDecoder& decoder, const std::vector<EncodedTestFrame>& frames) {
  Decoded decoded;
  for (const EncodedTestFrame& frame : frames) {
    const auto outcome = decoder.decode(frame.bytes, [&](const DecodedPicture& picture) {
      decoded.width = picture.width;
      decoded.height = picture.height;
      decoded.lumaReadable = picture.luma != nullptr && picture.lumaStride >= picture.width;
    });
    decoded.pictures += outcome.pictures;
    decoded.errors += outcome.error ? 1 : 0;
  }
  return decoded;
}

TEST(HevcDecoderTest, EachFrameYieldsItsPictureAtOnce) {
  const auto frames = testStream({.width = 320, .height = 192, .frameCount = 8, .keyframeInterval = 4});
  if (frames.empty()) {
    GTEST_SKIP() << "libavcodec was built without libx265";
  }
  ASSERT_EQ(frames.size(), 8u);
  auto decoder = HevcDecoder::create({});
  ASSERT_TRUE(decoder) << decoder.error();

  for (const EncodedTestFrame& frame : frames) {
    int pictures = 0;
    const auto outcome = decoder.value()->decode(frame.bytes, [&](const DecodedPicture& picture) {
      EXPECT_EQ(picture.width, 320);
      EXPECT_EQ(picture.height, 192);
      EXPECT_NE(picture.luma, nullptr);
      ++pictures;
    });
    EXPECT_FALSE(outcome.error) << *outcome.error;
    EXPECT_EQ(pictures, 1);
    EXPECT_EQ(outcome.pictures, 1);
  }
}

TEST(HevcDecoderTest, RefusesPicturesLargerThanTheLimit) {
  const auto frames = testStream({.width = 320, .height = 192, .frameCount = 2, .keyframeInterval = 2});
  if (frames.empty()) {
    GTEST_SKIP() << "libavcodec was built without libx265";
  }
  auto narrow = HevcDecoder::create({256, HevcDecoder::Limits{}.maxPicturePixels});
  ASSERT_TRUE(narrow);
  const Decoded refused = decodeAll(*narrow.value(), frames);
  EXPECT_EQ(refused.pictures, 0);
  EXPECT_EQ(refused.errors, 2);

  // The pixel limit stops the decoder before it reserves memory for the picture.
  auto small = HevcDecoder::create({8192, 320 * 100});
  ASSERT_TRUE(small);
  const Decoded stopped = decodeAll(*small.value(), frames);
  EXPECT_EQ(stopped.pictures, 0);
  EXPECT_GE(stopped.errors, 1);
}

TEST(HevcDecoderTest, SurvivesMalformedAccessUnitsAndDecodesTheNextKeyframe) {
  const auto frames = testStream({.width = 320, .height = 192, .frameCount = 2, .keyframeInterval = 2});
  if (frames.empty()) {
    GTEST_SKIP() << "libavcodec was built without libx265";
  }
  auto decoder = HevcDecoder::create({});
  ASSERT_TRUE(decoder);

  std::vector<std::uint8_t> truncatedKeyframe(frames[0].bytes.begin(), frames[0].bytes.begin() + 60);
  std::vector<std::uint8_t> noise(5000);
  testing::drawNoise(noise.data(), 100, 100, 50, 1);
  std::vector<std::uint8_t> startCodesOnly{0, 0, 0, 1, 0, 0, 0, 1, 0x40, 0x01};
  const std::vector<EncodedTestFrame> malformed{{truncatedKeyframe, true}, {noise, true}, {startCodesOnly, true},
                                                {frames[1].bytes, false}};
  const Decoded junk = decodeAll(*decoder.value(), malformed);
  EXPECT_EQ(junk.pictures, 0);

  EXPECT_EQ(decoder.value()->decode({}, {}).pictures, 0) << "an empty frame must not end decoding";
  const Decoded recovered = decodeAll(*decoder.value(), frames);
  EXPECT_EQ(recovered.pictures, 2);
  EXPECT_EQ(recovered.errors, 0);
}

}  // namespace
}  // namespace velmora
