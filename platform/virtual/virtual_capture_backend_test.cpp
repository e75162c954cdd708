#include "platform/virtual/virtual_capture_backend.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/testing/capture_stream_testing.h"
#include "platform/capture/frame_stamp.h"

// What all capture backends share is checked in platform/testing/capture_backend_contract_test.cpp.
namespace velmora {
namespace {

std::optional<FrameStamp> stampOf(const testing::CapturedFrame& frame) {
  return readFrameStamp(frame.luma.data(), frame.lumaStride, frame.width, frame.height);
}

TEST(VirtualCaptureBackendTest, FramesAreStampedInOrderAtTheRateMoveEverywhereAndAreNotDrawnOverWhileHeld) {
  constexpr int kFrameRate = 30;
  auto source = std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}});
  VirtualCaptureBackend backend{source};
  auto receiver = std::make_shared<testing::CaptureReceiver>();
  receiver->keepFirstPicture();
  const auto stream =
      testing::startedStream(backend, 2, testing::captureConfiguration(640, 360, true, kFrameRate), receiver);
  ASSERT_TRUE(receiver->waitForFrames(15));
  EXPECT_EQ(testing::stopCapture(*stream), std::nullopt);

  const auto frames = receiver->frames();
  for (std::size_t index = 0; index < frames.size(); ++index) {
    const auto stamp = stampOf(frames[index]);
    ASSERT_TRUE(stamp.has_value()) << index;
    EXPECT_NEAR(static_cast<double>(stamp->captureTimeMicroseconds), frames[index].presentationTime * 1e6, 1.0);
    EXPECT_TRUE(index == 0 ? stamp->frameNumber == 0 : stamp->frameNumber > stampOf(frames[index - 1])->frameNumber)
        << index;
  }
  const double averageInterval =
      (frames.back().presentationTime - frames.front().presentationTime) / static_cast<double>(frames.size() - 1);
  EXPECT_GT(averageInterval, 0.8 / kFrameRate) << "frames come faster than the minimum frame interval";

  // Like full-motion video, so that encoders meet real work: every pixel below the stamp changes.
  std::size_t changed = 0;
  const std::size_t start = static_cast<std::size_t>(kFrameStampHeight) * 640;
  for (std::size_t index = start; index < frames[0].luma.size(); ++index) {
    changed += frames[0].luma[index] != frames[1].luma[index] ? 1 : 0;
  }
  EXPECT_GT(static_cast<double>(changed), 0.5 * static_cast<double>(frames[0].luma.size() - start));

  const auto held = receiver->firstPicture();
  ASSERT_NE(held, nullptr);
  EXPECT_TRUE(std::equal(frames[0].luma.begin(), frames[0].luma.end(), held->luma())) << "a held picture was reused";
}

}  // namespace
}  // namespace velmora
