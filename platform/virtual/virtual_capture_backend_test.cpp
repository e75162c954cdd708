#include "platform/virtual/virtual_capture_backend.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "platform/virtual/frame_stamp.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

constexpr auto kEventTimeout = 10s;

struct ReceivedFrame {
  int width = 0;
  int height = 0;
  double presentationTime = 0;
  std::optional<FrameStamp> stamp;
  std::vector<std::uint8_t> luma;  // copied: holding the picture would keep it from the pool
};

// Collects what a stream delivers, copying each picture so that the pool is never starved.
class Receiver : public ScreenCaptureStreamOutput, public ScreenCaptureStreamDelegate {
 public:
  void streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer, SampleOutputType type) override {
    ASSERT_EQ(type, SampleOutputType::screen);
    ASSERT_NE(sampleBuffer.pixelBuffer, nullptr);
    const PixelBuffer& picture = *sampleBuffer.pixelBuffer;
    ReceivedFrame frame{picture.width(), picture.height(), sampleBuffer.presentationTime,
                        readFrameStamp(picture.luma(), picture.lumaStride(), picture.width(), picture.height()),
                        std::vector<std::uint8_t>(picture.luma(), picture.luma() + picture.lumaStride() * picture.height())};
    {
      std::lock_guard lock(receivedLock_);
      frames_.push_back(std::move(frame));
      if (keepFirstPicture_ && !firstPicture_) {
        firstPicture_ = sampleBuffer.pixelBuffer;
      }
    }
    receivedChanged_.notify_all();
  }

  void streamDidStopWithError(const std::string& errorDescription) override {
    {
      std::lock_guard lock(receivedLock_);
      stopError_ = errorDescription;
    }
    receivedChanged_.notify_all();
  }

  bool waitForFrames(std::size_t count) {
    std::unique_lock lock(receivedLock_);
    return receivedChanged_.wait_for(lock, kEventTimeout, [&] { return frames_.size() >= count; });
  }
  std::optional<std::string> waitForStopError() {
    std::unique_lock lock(receivedLock_);
    receivedChanged_.wait_for(lock, kEventTimeout, [&] { return stopError_.has_value(); });
    return stopError_;
  }
  std::vector<ReceivedFrame> frames() const {
    std::lock_guard lock(receivedLock_);
    return frames_;
  }
  void keepFirstPicture() {
    std::lock_guard lock(receivedLock_);
    keepFirstPicture_ = true;
  }
  std::shared_ptr<const PixelBuffer> firstPicture() const {
    std::lock_guard lock(receivedLock_);
    return firstPicture_;
  }

 private:
  mutable std::mutex receivedLock_;
  std::condition_variable receivedChanged_;
  std::vector<ReceivedFrame> frames_;
  std::optional<std::string> stopError_;
  bool keepFirstPicture_ = false;
  std::shared_ptr<const PixelBuffer> firstPicture_;
};

std::optional<std::string> answerOf(const std::function<void(ScreenCaptureStream::Completion)>& request) {
  std::promise<std::optional<std::string>> answer;
  request([&](const std::optional<std::string>& error) { answer.set_value(error); });
  auto future = answer.get_future();
  EXPECT_EQ(future.wait_for(kEventTimeout), std::future_status::ready);
  return future.get();
}

ScreenCaptureStreamConfiguration streamConfiguration(std::int64_t width, std::int64_t height, std::int32_t frameRate) {
  return ScreenCaptureStreamConfiguration{width, height, MediaTime{1, frameRate}, kPixelFormat420v, 3, true, false};
}

class VirtualCaptureBackendTest : public ::testing::Test {
 protected:
  std::shared_ptr<ScreenCaptureStream> startedStream(std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration) {
    auto stream = backend_.makeStream(displayID, configuration, receiver_);
    EXPECT_EQ(stream->addStreamOutput(receiver_, SampleOutputType::screen), std::nullopt);
    EXPECT_EQ(answerOf([&](auto completion) { stream->startCapture(std::move(completion)); }), std::nullopt);
    return stream;
  }

  std::shared_ptr<VirtualDisplaySource> source_ =
      std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}});
  VirtualCaptureBackend backend_{source_};
  std::shared_ptr<Receiver> receiver_ = std::make_shared<Receiver>();
};

TEST_F(VirtualCaptureBackendTest, SharesTheSourcesDisplaysAndAlwaysPermitsCapture) {
  const auto sharedDisplayIDs = [&] {
    std::vector<std::uint32_t> displayIDs;
    backend_.listCapturableDisplays([&](const Result<CapturableDisplays>& result) {
      ASSERT_TRUE(result.ok());
      displayIDs = result.value().displayIDs;
    });
    return displayIDs;
  };
  EXPECT_EQ(sharedDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));
  source_->setLayout({{1920, 1080, 1}});
  EXPECT_EQ(sharedDisplayIDs(), (std::vector<std::uint32_t>{1}));
  EXPECT_TRUE(backend_.hasScreenCaptureAccess());
  EXPECT_TRUE(backend_.requestScreenCaptureAccess());
}

TEST_F(VirtualCaptureBackendTest, DeliversStampedFramesOfTheConfiguredSizeNoFasterThanTheRate) {
  constexpr int kFrameRate = 30;
  // Odd sides lose their last row or column: NV12 pictures have even sizes.
  const auto stream = startedStream(2, streamConfiguration(641, 361, kFrameRate));
  ASSERT_TRUE(receiver_->waitForFrames(15));
  EXPECT_EQ(answerOf([&](auto completion) { stream->stopCapture(std::move(completion)); }), std::nullopt);

  const auto frames = receiver_->frames();
  for (const auto& frame : frames) {
    EXPECT_EQ(frame.width, 640);
    EXPECT_EQ(frame.height, 360);
    ASSERT_TRUE(frame.stamp.has_value());
    EXPECT_NEAR(static_cast<double>(frame.stamp->captureTimeMicroseconds), frame.presentationTime * 1e6, 1.0);
  }
  EXPECT_EQ(frames.front().stamp->frameNumber, 0U);
  for (std::size_t index = 1; index < frames.size(); ++index) {
    EXPECT_GT(frames[index].stamp->frameNumber, frames[index - 1].stamp->frameNumber);
    EXPECT_GT(frames[index].presentationTime, frames[index - 1].presentationTime);
  }
  const double averageInterval =
      (frames.back().presentationTime - frames.front().presentationTime) / static_cast<double>(frames.size() - 1);
  EXPECT_GT(averageInterval, 0.8 / kFrameRate) << "frames come faster than the minimum frame interval";
  EXPECT_LT(averageInterval, 0.25) << "far below the configured rate";
}

TEST_F(VirtualCaptureBackendTest, EveryPixelBelowTheStampMovesFromFrameToFrame) {
  const auto stream = startedStream(1, streamConfiguration(640, 360, 60));
  ASSERT_TRUE(receiver_->waitForFrames(2));
  stream->stopCapture([](const std::optional<std::string>&) {});

  const auto frames = receiver_->frames();
  const auto& first = frames[0].luma;
  const auto& second = frames[1].luma;
  std::size_t changed = 0;
  const std::size_t start = static_cast<std::size_t>(kFrameStampHeight) * 640;
  for (std::size_t index = start; index < first.size(); ++index) {
    changed += first[index] != second[index] ? 1 : 0;
  }
  EXPECT_GT(static_cast<double>(changed), 0.5 * static_cast<double>(first.size() - start));
}

TEST_F(VirtualCaptureBackendTest, RefusesToStartWhatItCannotCapture) {
  struct Case {
    const char* what;
    std::uint32_t displayID;
    ScreenCaptureStreamConfiguration configuration;
    std::string error;
  };
  auto otherFormat = streamConfiguration(640, 360, 30);
  otherFormat.pixelFormat = 0x42475241;
  const std::vector<Case> cases = {
      {"unknown display", 3, streamConfiguration(640, 360, 30), "virtual display 3 is not available"},
      {"other pixel format", 1, otherFormat, "virtual capture supports only the 420v pixel format"},
      {"empty picture", 1, streamConfiguration(1, 360, 30), "unsupported virtual capture size 1x360"},
      {"huge picture", 1, streamConfiguration(100000, 360, 30), "unsupported virtual capture size 100000x360"},
      {"negative size", 1, streamConfiguration(-640, 360, 30), "unsupported virtual capture size -640x360"},
  };
  for (const auto& testCase : cases) {
    auto stream = backend_.makeStream(testCase.displayID, testCase.configuration, receiver_);
    EXPECT_EQ(answerOf([&](auto completion) { stream->startCapture(std::move(completion)); }), testCase.error)
        << testCase.what;
  }
  EXPECT_EQ(receiver_->frames().size(), 0U);
  EXPECT_NE(backend_.makeStream(1, streamConfiguration(64, 64, 30), receiver_)->addStreamOutput(receiver_, SampleOutputType::audio),
            std::nullopt);
}

TEST_F(VirtualCaptureBackendTest, ADisplayThatLeavesTheLayoutEndsItsStreamWithAnError) {
  const auto stream = startedStream(2, streamConfiguration(320, 240, 60));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  source_->setLayout({{1920, 1080, 1}});
  EXPECT_EQ(receiver_->waitForStopError(), "virtual display 2 was removed");
  EXPECT_EQ(answerOf([&](auto completion) { stream->stopCapture(std::move(completion)); }), std::nullopt);
}

TEST_F(VirtualCaptureBackendTest, APictureStillHeldDownstreamIsNotDrawnOver) {
  receiver_->keepFirstPicture();
  const auto stream = startedStream(1, streamConfiguration(320, 240, 120));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  const auto held = receiver_->firstPicture();
  ASSERT_NE(held, nullptr);
  const std::vector<std::uint8_t> before(held->luma(), held->luma() + held->lumaStride() * held->height());
  ASSERT_TRUE(receiver_->waitForFrames(12));
  stream->stopCapture([](const std::optional<std::string>&) {});

  EXPECT_EQ(std::vector<std::uint8_t>(held->luma(), held->luma() + held->lumaStride() * held->height()), before);
  EXPECT_EQ(readFrameStamp(held->luma(), held->lumaStride(), held->width(), held->height())->frameNumber, 0U);
}

// An owner may let go of its stream while handling one of its frames.
class StreamDroppingReceiver : public ScreenCaptureStreamOutput {
 public:
  void streamDidOutputSampleBuffer(const SampleBuffer&, SampleOutputType) override {
    std::shared_ptr<ScreenCaptureStream> last;
    {
      std::lock_guard lock(streamLock_);
      last = std::move(stream_);
    }
    if (last) {
      last.reset();  // destroys the stream on its own delivery thread
      dropped_.set_value();
    }
  }
  void hold(std::shared_ptr<ScreenCaptureStream> stream) {
    std::lock_guard lock(streamLock_);
    stream_ = std::move(stream);
  }
  std::future<void> dropped() { return dropped_.get_future(); }

 private:
  std::mutex streamLock_;
  std::shared_ptr<ScreenCaptureStream> stream_;
  std::promise<void> dropped_;
};

TEST_F(VirtualCaptureBackendTest, AStreamReleasedOnItsOwnDeliveryThreadEndsQuietly) {
  auto receiver = std::make_shared<StreamDroppingReceiver>();
  auto dropped = receiver->dropped();
  {
    auto stream = backend_.makeStream(1, streamConfiguration(320, 240, 60), receiver_);
    ASSERT_EQ(stream->addStreamOutput(receiver, SampleOutputType::screen), std::nullopt);
    receiver->hold(stream);
    ASSERT_EQ(answerOf([&](auto completion) { stream->startCapture(std::move(completion)); }), std::nullopt);
  }
  EXPECT_EQ(dropped.wait_for(kEventTimeout), std::future_status::ready);
}

}  // namespace
}  // namespace velmora
