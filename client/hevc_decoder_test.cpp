#include "client/hevc_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "client/hevc_test_stream.h"

namespace velmora {
namespace {

using testing::EncodedTestFrame;

struct Decoded {
  int pictures = 0;
  int errors = 0;
};

Decoded decodeAll(HevcDecoder& decoder, const std::vector<EncodedTestFrame>& frames) {
  Decoded decoded;
  for (const EncodedTestFrame& frame : frames) {
    int seen = 0;
    const auto outcome = decoder.decode(frame.bytes, [&](const DecodedPicture& picture) {
      EXPECT_EQ(picture.width * 1000 + picture.height, 320'192);
      EXPECT_NE(picture.luma, nullptr);
      ++seen;
    });
    EXPECT_EQ(outcome.pictures, seen);
    decoded.pictures += outcome.pictures;
    decoded.errors += outcome.error ? 1 : 0;
  }
  return decoded;
}

class HevcDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto encoded = testing::encodeTestStream({.width = 320, .height = 192, .frameCount = 4, .keyframeInterval = 2});
    if (!encoded) {
      GTEST_SKIP() << "libavcodec was built without libx265";
    }
    frames_ = std::move(*encoded);
  }

  std::vector<EncodedTestFrame> frames_;
};

TEST_F(HevcDecoderTest, RefusesPicturesLargerThanTheLimit) {
  auto narrow = HevcDecoder::create({256, HevcDecoder::Limits{}.maxPicturePixels});
  ASSERT_TRUE(narrow);
  const Decoded refused = decodeAll(*narrow.value(), frames_);
  EXPECT_EQ(refused.pictures, 0);
  EXPECT_EQ(refused.errors, 4);

  // The pixel limit stops the decoder before it reserves memory for the picture.
  auto small = HevcDecoder::create({8192, 320 * 100});
  ASSERT_TRUE(small);
  const Decoded stopped = decodeAll(*small.value(), frames_);
  EXPECT_EQ(stopped.pictures, 0);
  EXPECT_GE(stopped.errors, 1);
}

TEST_F(HevcDecoderTest, SurvivesMalformedAccessUnitsAndDecodesTheNextKeyframe) {
  auto decoder = HevcDecoder::create({});
  ASSERT_TRUE(decoder);
  std::vector<std::uint8_t> noise(5000);
  testing::drawNoise(noise.data(), 100, 100, 50, 1);
  const std::vector<EncodedTestFrame> malformed{{{frames_[0].bytes.begin(), frames_[0].bytes.begin() + 60}, true},
                                                {noise, true},
                                                {{0, 0, 0, 1, 0, 0, 0, 1, 0x40, 0x01}, true},
                                                {frames_[1].bytes, false}};

  EXPECT_EQ(decodeAll(*decoder.value(), malformed).pictures, 0);
  EXPECT_EQ(decoder.value()->decode({}, {}).pictures, 0) << "an empty frame must not end decoding";
  const Decoded recovered = decodeAll(*decoder.value(), frames_);
  EXPECT_EQ(recovered.pictures, 4);
  EXPECT_EQ(recovered.errors, 0);
}

}  // namespace
}  // namespace velmora
