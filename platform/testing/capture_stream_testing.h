#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/screen_capture_backend.h"

namespace velmora::testing {

inline constexpr std::chrono::milliseconds kCaptureEventTimeout{10'000};

struct Yuv {
  int y;
  int cb;
  int cr;
};

// Each component of `actual` within `tolerance` of that of `expected`.
inline ::testing::AssertionResult isNear(const Yuv& actual, const Yuv& expected, int tolerance) {
  if (std::abs(actual.y - expected.y) > tolerance || std::abs(actual.cb - expected.cb) > tolerance ||
      std::abs(actual.cr - expected.cr) > tolerance) {
    return ::testing::AssertionFailure() << "Y, Cb, Cr " << actual.y << ", " << actual.cb << ", " << actual.cr
                                         << " instead of " << expected.y << ", " << expected.cb << ", " << expected.cr;
  }
  return ::testing::AssertionSuccess();
}

struct CapturedFrame {
  int width = 0;
  int height = 0;
  int lumaStride = 0;
  int chromaStride = 0;
  double presentationTime = 0;
  std::vector<std::uint8_t> luma;  // copied: holding the picture would keep it from the pool
  std::vector<std::uint8_t> chroma;

  Yuv at(int x, int y) const {
    const auto chromaIndex = static_cast<std::size_t>((y / 2) * chromaStride + (x / 2) * 2);
    return {luma[static_cast<std::size_t>(y * lumaStride + x)], chroma[chromaIndex], chroma[chromaIndex + 1]};
  }
};

// Collects what a stream delivers and how it ends, for the test thread to wait on.
class CaptureReceiver : public ScreenCaptureStreamOutput, public ScreenCaptureStreamDelegate {
 public:
  void streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer, SampleOutputType type) override {
    ASSERT_EQ(type, SampleOutputType::screen);
    ASSERT_NE(sampleBuffer.pixelBuffer, nullptr);
    const PixelBuffer& picture = *sampleBuffer.pixelBuffer;
    std::lock_guard lock(receivedLock_);
    frames_.push_back({picture.width(), picture.height(), picture.lumaStride(), picture.chromaStride(),
                       sampleBuffer.presentationTime,
                       {picture.luma(), picture.luma() + picture.lumaStride() * picture.height()},
                       {picture.chroma(), picture.chroma() + picture.chromaStride() * (picture.height() / 2)}});
    nextFrameRequest_ = sampleBuffer.requestNextFrame;
    if (keepFirstPicture_ && !firstPicture_) {
      firstPicture_ = sampleBuffer.pixelBuffer;
    }
    changed_.notify_all();
  }

  void streamDidStopWithError(const std::string& errorDescription) override {
    std::lock_guard lock(receivedLock_);
    stopError_ = errorDescription;
    changed_.notify_all();
  }

  // Asks a paced stream for its next frame, with the request of the last frame.
  void requestNextFrame() {
    NextFrameRequest request;
    {
      std::lock_guard lock(receivedLock_);
      request = nextFrameRequest_;
    }
    ASSERT_TRUE(request) << "the last frame came without a request";
    request(std::chrono::steady_clock::now());
  }

  bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout = kCaptureEventTimeout) {
    std::unique_lock lock(receivedLock_);
    return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
  }
  // True when no frame beyond `count` came for a while.
  bool staysAt(std::size_t count) { return !waitForFrames(count + 1, std::chrono::milliseconds(1500)) && frameCount() == count; }
  std::optional<std::string> waitForStopError() {
    std::unique_lock lock(receivedLock_);
    changed_.wait_for(lock, kCaptureEventTimeout, [&] { return stopError_.has_value(); });
    return stopError_;
  }
  std::vector<CapturedFrame> frames() const {
    std::lock_guard lock(receivedLock_);
    return frames_;
  }
  std::size_t frameCount() const {
    std::lock_guard lock(receivedLock_);
    return frames_.size();
  }
  CapturedFrame lastFrame() const {
    std::lock_guard lock(receivedLock_);
    return frames_.back();
  }
  // Keeps the first picture itself, as an encoder still working on it would.
  void keepFirstPicture() {
    std::lock_guard lock(receivedLock_);
    keepFirstPicture_ = true;
  }
  // Lets the first picture go back to the pool.
  void releaseFirstPicture() {
    std::lock_guard lock(receivedLock_);
    firstPicture_.reset();
  }
  std::shared_ptr<const PixelBuffer> firstPicture() const {
    std::lock_guard lock(receivedLock_);
    return firstPicture_;
  }

 private:
  mutable std::mutex receivedLock_;
  std::condition_variable changed_;
  std::vector<CapturedFrame> frames_;
  std::optional<std::string> stopError_;
  bool keepFirstPicture_ = false;
  std::shared_ptr<const PixelBuffer> firstPicture_;
  NextFrameRequest nextFrameRequest_;
};

// The answer to a start or stop request, waited for.
inline std::optional<std::string> answerOf(ScreenCaptureStream& stream, bool start) {
  auto answer = std::make_shared<std::promise<std::optional<std::string>>>();
  auto completion = [answer](const std::optional<std::string>& error) { answer->set_value(error); };
  start ? stream.startCapture(completion) : stream.stopCapture(completion);
  auto future = answer->get_future();
  if (future.wait_for(kCaptureEventTimeout) != std::future_status::ready) {
    ADD_FAILURE() << "no completion";
    return "no completion";
  }
  return future.get();
}
inline std::optional<std::string> startCapture(ScreenCaptureStream& stream) { return answerOf(stream, true); }
inline std::optional<std::string> stopCapture(ScreenCaptureStream& stream) { return answerOf(stream, false); }

inline ScreenCaptureStreamConfiguration captureConfiguration(std::int64_t width, std::int64_t height,
                                                             bool showsCursor = false, std::int32_t frameRate = 30) {
  return ScreenCaptureStreamConfiguration{width, height, MediaTime{1, frameRate}, kPixelFormat420v, 3, showsCursor, false};
}

// A stream that delivers to `receiver`, started; the test fails when it does not start.
inline std::shared_ptr<ScreenCaptureStream> startedStream(ScreenCaptureBackend& backend, std::uint32_t displayID,
                                                          const ScreenCaptureStreamConfiguration& configuration,
                                                          const std::shared_ptr<CaptureReceiver>& receiver) {
  auto stream = backend.makeStream(displayID, configuration, receiver);
  EXPECT_EQ(stream->addStreamOutput(receiver, SampleOutputType::screen), std::nullopt);
  EXPECT_EQ(startCapture(*stream), std::nullopt);
  return stream;
}

inline std::vector<std::uint32_t> capturableDisplayIDs(ScreenCaptureBackend& backend) {
  std::vector<std::uint32_t> displayIDs;
  backend.listCapturableDisplays([&](const Result<CapturableDisplays>& content) {
    displayIDs = content.ok() ? content.value().displayIDs : std::vector<std::uint32_t>{};
  });
  return displayIDs;
}

}  // namespace velmora::testing
