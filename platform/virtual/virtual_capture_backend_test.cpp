#include "platform/virtual/virtual_capture_backend.h"

#include <gtest/gtest.h>

#include "platform/testing/capture_stream_testing.h"
#include "platform/virtual/frame_stamp.h"

// What all capture backends share is checked in platform/testing/capture_backend_contract_test.cpp.
namespace velmora {
namespace {

using testing::captureConfiguration;
using testing::startedStream;

class VirtualCaptureBackendTest : public ::testing::Test {
 protected:
  std::shared_ptr<VirtualDisplaySource> source_ =
      std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}});
  VirtualCaptureBackend backend_{source_};
  std::shared_ptr<testing::CaptureReceiver> receiver_ = std::make_shared<testing::CaptureReceiver>();
};

std::optional<FrameStamp> stampOf(const testing::CapturedFrame& frame) {
  return readFrameStamp(frame.luma.data(), frame.lumaStride, frame.width, frame.height);
}

TEST_F(VirtualCaptureBackendTest, FramesAreStampedInOrderNoFasterThanTheRateAndMoveEverywhere) {
  constexpr int kFrameRate = 30;
  const auto stream = startedStream(backend_, 2, captureConfiguration(640, 360, true, kFrameRate), receiver_);
  ASSERT_TRUE(receiver_->waitForFrames(15));
  EXPECT_EQ(testing::stopCapture(*stream), std::nullopt);

  const auto frames = receiver_->frames();
  for (std::size_t index = 0; index < frames.size(); ++index) {
    const auto stamp = stampOf(frames[index]);
    ASSERT_TRUE(stamp.has_value()) << index;
    EXPECT_NEAR(static_cast<double>(stamp->captureTimeMicroseconds), frames[index].presentationTime * 1e6, 1.0);
    if (index == 0) {
      EXPECT_EQ(stamp->frameNumber, 0U);
    } else {
      EXPECT_GT(stamp->frameNumber, stampOf(frames[index - 1])->frameNumber);
      EXPECT_GT(frames[index].presentationTime, frames[index - 1].presentationTime);
    }
  }
  const double averageInterval =
      (frames.back().presentationTime - frames.front().presentationTime) / static_cast<double>(frames.size() - 1);
  EXPECT_GT(averageInterval, 0.8 / kFrameRate) << "frames come faster than the minimum frame interval";
  EXPECT_LT(averageInterval, 0.25) << "far below the configured rate";

  // Like full-motion video, so that encoders meet real work: every pixel below the stamp changes.
  std::size_t changed = 0;
  const std::size_t start = static_cast<std::size_t>(kFrameStampHeight) * 640;
  for (std::size_t index = start; index < frames[0].luma.size(); ++index) {
    changed += frames[0].luma[index] != frames[1].luma[index] ? 1 : 0;
  }
  EXPECT_GT(static_cast<double>(changed), 0.5 * static_cast<double>(frames[0].luma.size() - start));
}

TEST_F(VirtualCaptureBackendTest, APictureStillHeldDownstreamIsNotDrawnOver) {
  receiver_->keepFirstPicture();
  const auto stream = startedStream(backend_, 1, captureConfiguration(320, 240, false, 120), receiver_);
  ASSERT_TRUE(receiver_->waitForFrames(1));
  const auto held = receiver_->firstPicture();
  ASSERT_NE(held, nullptr);
  const std::vector<std::uint8_t> before(held->luma(), held->luma() + held->lumaStride() * held->height());
  ASSERT_TRUE(receiver_->waitForFrames(12));
  testing::stopCapture(*stream);

  EXPECT_EQ(std::vector<std::uint8_t>(held->luma(), held->luma() + held->lumaStride() * held->height()), before);
  EXPECT_EQ(readFrameStamp(held->luma(), held->lumaStride(), held->width(), held->height())->frameNumber, 0U);
}

}  // namespace
}  // namespace velmora
