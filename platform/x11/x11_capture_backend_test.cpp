#include "platform/x11/x11_capture_backend.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "platform/testing/xvfb_server.h"
#include "platform/x11/x11_display_source.h"
#include "platform/x11/x11_screen_grabber.h"
#include "platform/x11/x11_test_painter.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

constexpr auto kEventTimeout = 10s;
// How long a still screen is watched for frames that should not come.
constexpr auto kQuietPeriod = 1500ms;

constexpr std::uint32_t kGrey = 0x404040;

struct Yuv {
  int y;
  int cb;
  int cr;
};

struct ReceivedFrame {
  int width = 0;
  int height = 0;
  double presentationTime = 0;
  std::vector<std::uint8_t> luma;  // copied: holding the picture would keep it from the pool
  std::vector<std::uint8_t> chroma;

  Yuv at(int x, int y) const {
    const std::size_t chromaIndex = static_cast<std::size_t>((y / 2) * width + (x / 2) * 2);
    return {luma[static_cast<std::size_t>(y * width + x)], chroma[chromaIndex], chroma[chromaIndex + 1]};
  }
};

class Receiver : public ScreenCaptureStreamOutput, public ScreenCaptureStreamDelegate {
 public:
  void streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer, SampleOutputType type) override {
    ASSERT_EQ(type, SampleOutputType::screen);
    ASSERT_NE(sampleBuffer.pixelBuffer, nullptr);
    const PixelBuffer& picture = *sampleBuffer.pixelBuffer;
    ReceivedFrame frame{picture.width(), picture.height(), sampleBuffer.presentationTime,
                        std::vector<std::uint8_t>(picture.luma(), picture.luma() + picture.lumaStride() * picture.height()),
                        std::vector<std::uint8_t>(picture.chroma(), picture.chroma() + picture.chromaStride() * (picture.height() / 2))};
    {
      std::lock_guard lock(receivedLock_);
      frames_.push_back(std::move(frame));
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

  bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout = kEventTimeout) {
    std::unique_lock lock(receivedLock_);
    return receivedChanged_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
  }
  // Waits for the quiet period; true when no frame beyond `count` came meanwhile.
  bool staysAt(std::size_t count) { return !waitForFrames(count + 1, kQuietPeriod) && frameCount() == count; }
  std::optional<std::string> waitForStopError() {
    std::unique_lock lock(receivedLock_);
    receivedChanged_.wait_for(lock, kEventTimeout, [&] { return stopError_.has_value(); });
    return stopError_;
  }
  std::size_t frameCount() const {
    std::lock_guard lock(receivedLock_);
    return frames_.size();
  }
  ReceivedFrame lastFrame() const {
    std::lock_guard lock(receivedLock_);
    return frames_.back();
  }

 private:
  mutable std::mutex receivedLock_;
  std::condition_variable receivedChanged_;
  std::vector<ReceivedFrame> frames_;
  std::optional<std::string> stopError_;
};

std::optional<std::string> answerOf(const std::function<void(ScreenCaptureStream::Completion)>& request) {
  std::promise<std::optional<std::string>> answer;
  request([&](const std::optional<std::string>& error) { answer.set_value(error); });
  auto future = answer.get_future();
  EXPECT_EQ(future.wait_for(kEventTimeout), std::future_status::ready);
  return future.get();
}

ScreenCaptureStreamConfiguration streamConfiguration(std::int64_t width, std::int64_t height, bool showsCursor = false) {
  return ScreenCaptureStreamConfiguration{width, height, MediaTime{1, 30}, kPixelFormat420v, 3, showsCursor, false};
}

void expectColour(const ReceivedFrame& frame, int x, int y, const Yuv& expected, const char* what) {
  constexpr int kTolerance = 3;
  const Yuv actual = frame.at(x, y);
  EXPECT_LE(std::abs(actual.y - expected.y), kTolerance) << what << ": Y " << actual.y;
  EXPECT_LE(std::abs(actual.cb - expected.cb), kTolerance) << what << ": Cb " << actual.cb;
  EXPECT_LE(std::abs(actual.cr - expected.cr), kTolerance) << what << ": Cr " << actual.cr;
}

// Two monitors side by side on a grey screen, the pointer parked on neither's test areas.
class X11CaptureBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    ASSERT_EQ(server_.run("xrandr --setmonitor Left 1920/500x1080/300+0+0 screen >/dev/null"), 0);
    ASSERT_EQ(server_.run("xrandr --setmonitor Right 1920/500x1080/300+1920+0 none >/dev/null"), 0);
    ASSERT_EQ(server_.run("xdotool mousemove 3800 1060"), 0);
    auto painter = X11TestPainter::open(server_.display());
    ASSERT_TRUE(painter.ok()) << painter.error();
    painter_ = std::move(painter.value());
    painter_->fillRoot({0, 0, 3840, 1080}, kGrey);
    painter_->sync();
    auto backend = X11CaptureBackend::open(server_.display());
    ASSERT_TRUE(backend.ok()) << backend.error();
    backend_ = backend.value();
    auto source = X11DisplaySource::open(server_.display());
    ASSERT_TRUE(source.ok()) << source.error();
    source_ = source.value();
    for (const auto& screen : source_->screens()) {
      (screen.name == "Left" ? leftDisplayID_ : rightDisplayID_) = screen.displayID;
    }
  }

  void TearDown() override {
    for (const auto& stream : streams_) {
      stream->stopCapture([](const std::optional<std::string>&) {});
    }
  }

  std::shared_ptr<ScreenCaptureStream> startedStream(std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration) {
    auto stream = backend_->makeStream(displayID, configuration, receiver_);
    EXPECT_EQ(stream->addStreamOutput(receiver_, SampleOutputType::screen), std::nullopt);
    EXPECT_EQ(answerOf([&](auto completion) { stream->startCapture(std::move(completion)); }), std::nullopt);
    streams_.push_back(stream);
    return stream;
  }

  velmora::testing::XvfbServer server_{3840, 1080};
  std::unique_ptr<X11TestPainter> painter_;
  std::shared_ptr<X11CaptureBackend> backend_;
  std::shared_ptr<X11DisplaySource> source_;
  std::uint32_t leftDisplayID_ = 0;
  std::uint32_t rightDisplayID_ = 0;
  std::shared_ptr<Receiver> receiver_ = std::make_shared<Receiver>();
  std::vector<std::shared_ptr<ScreenCaptureStream>> streams_;
};

TEST_F(X11CaptureBackendTest, SharesTheDisplaysAndNumbersOfTheDisplaySource) {
  std::vector<std::uint32_t> shared;
  backend_->listCapturableDisplays([&](const Result<CapturableDisplays>& content) {
    ASSERT_TRUE(content.ok()) << content.error();
    shared = content.value().displayIDs;
  });
  EXPECT_EQ(shared, source_->activeDisplayIDs());
  EXPECT_EQ(shared.size(), 2U);
  EXPECT_TRUE(backend_->hasScreenCaptureAccess());
}

TEST_F(X11CaptureBackendTest, AStillScreenDeliversOnlyTheFirstFrameAndAChangeInTheMonitorOneMore) {
  startedStream(leftDisplayID_, streamConfiguration(960, 540, true));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  EXPECT_TRUE(receiver_->staysAt(1)) << "a still screen";

  painter_->fillRoot({2000, 100, 200, 200}, 0xffffff);
  painter_->sync();
  EXPECT_TRUE(receiver_->staysAt(1)) << "drawing on the other monitor";

  // Applications draw into windows, not into the root window.
  painter_->showWindow({100, 100, 200, 200}, 0xffffff);
  ASSERT_TRUE(receiver_->waitForFrames(2)) << "a window appearing on the captured monitor";
  expectColour(receiver_->lastFrame(), 100, 100, {235, 128, 128}, "the new white window");
}

TEST_F(X11CaptureBackendTest, ColouredWindowAppearsAtItsPlaceInFramesOfTheConfiguredSize) {
  painter_->showWindow({1920 + 480, 270, 480, 270}, 0xff0000);
  // Odd sides lose their last row or column: NV12 pictures have even sizes.
  startedStream(rightDisplayID_, streamConfiguration(961, 541));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  const auto frame = receiver_->lastFrame();
  EXPECT_EQ(frame.width, 960);
  EXPECT_EQ(frame.height, 540);
  // The window covers (240, 135) to (480, 270) of the half-size picture.
  expectColour(frame, 250, 145, {82, 90, 240}, "red, top-left inside the window");
  expectColour(frame, 470, 260, {82, 90, 240}, "red, bottom-right inside the window");
  const Yuv grey{70, 128, 128};
  expectColour(frame, 230, 145, grey, "left of the window");
  expectColour(frame, 250, 125, grey, "above the window");
  expectColour(frame, 490, 260, grey, "right of the window");
  expectColour(frame, 470, 280, grey, "below the window");
  const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
  EXPECT_LE(frame.presentationTime, now);
  EXPECT_GT(frame.presentationTime, now - 30) << "on the monotonic clock";
}

TEST_F(X11CaptureBackendTest, PointerMotionOverTheMonitorDeliversAFrameWithTheCursor) {
  startedStream(leftDisplayID_, streamConfiguration(1920, 1080, true));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  ASSERT_EQ(server_.run("xdotool mousemove 600 500"), 0);
  ASSERT_TRUE(receiver_->waitForFrames(2));
  const auto frame = receiver_->lastFrame();
  int differentPixels = 0;
  for (int y = 480; y < 520; ++y) {
    for (int x = 580; x < 620; ++x) {
      differentPixels += std::abs(frame.at(x, y).y - 70) > 20 ? 1 : 0;
    }
  }
  EXPECT_GT(differentPixels, 10) << "the cursor around the pointer";
}

TEST_F(X11CaptureBackendTest, PointerMotionIsIgnoredWithoutTheCursor) {
  startedStream(leftDisplayID_, streamConfiguration(960, 540, false));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  ASSERT_EQ(server_.run("xdotool mousemove 600 500"), 0);
  EXPECT_TRUE(receiver_->staysAt(1));
}

TEST_F(X11CaptureBackendTest, AMonitorThatGoesAwayEndsTheStreamWithAnError) {
  const auto stream = startedStream(rightDisplayID_, streamConfiguration(640, 360));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  ASSERT_EQ(server_.run("xrandr --delmonitor Right"), 0);
  EXPECT_EQ(receiver_->waitForStopError(), "display " + std::to_string(rightDisplayID_) + " is no longer available");
  EXPECT_EQ(answerOf([&](auto completion) { stream->stopCapture(std::move(completion)); }), std::nullopt);
}

TEST_F(X11CaptureBackendTest, ALostXServerEndsTheStreamWithAnErrorAndLeavesTheProcessRunning) {
  auto doomedServer = std::make_unique<velmora::testing::XvfbServer>(1280, 720);
  ASSERT_TRUE(doomedServer->available());
  auto backend = X11CaptureBackend::open(doomedServer->display());
  ASSERT_TRUE(backend.ok()) << backend.error();
  const auto displayIDs = X11DisplaySource::open(doomedServer->display()).value()->activeDisplayIDs();
  ASSERT_EQ(displayIDs.size(), 1U);
  const auto stream = backend.value()->makeStream(displayIDs[0], streamConfiguration(640, 360), receiver_);
  stream->addStreamOutput(receiver_, SampleOutputType::screen);
  ASSERT_EQ(answerOf([&](auto completion) { stream->startCapture(std::move(completion)); }), std::nullopt);
  ASSERT_TRUE(receiver_->waitForFrames(1));

  doomedServer.reset();
  EXPECT_EQ(receiver_->waitForStopError(), "the connection to the X server was lost");
  EXPECT_EQ(answerOf([&](auto completion) { stream->stopCapture(std::move(completion)); }), std::nullopt);
  std::vector<std::uint32_t> shared = {1};
  backend.value()->listCapturableDisplays([&](const Result<CapturableDisplays>& content) {
    shared = content.ok() ? content.value().displayIDs : std::vector<std::uint32_t>{};
  });
  EXPECT_TRUE(shared.empty()) << "nothing left to share";
}

TEST_F(X11CaptureBackendTest, AStoppedStreamDeliversNothingAndARestartDeliversAFirstFrameAgain) {
  const auto stream = startedStream(leftDisplayID_, streamConfiguration(640, 360));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  EXPECT_EQ(answerOf([&](auto completion) { stream->stopCapture(std::move(completion)); }), std::nullopt);
  painter_->fillRoot({100, 100, 200, 200}, 0xffffff);
  painter_->sync();
  EXPECT_TRUE(receiver_->staysAt(1));

  EXPECT_EQ(answerOf([&](auto completion) { stream->startCapture(std::move(completion)); }), std::nullopt);
  ASSERT_TRUE(receiver_->waitForFrames(2));
  expectColour(receiver_->lastFrame(), 50, 50, {235, 128, 128}, "the square drawn while stopped");
}

TEST_F(X11CaptureBackendTest, RefusesToStartWhatItCannotCapture) {
  struct Case {
    const char* what;
    std::uint32_t displayID;
    ScreenCaptureStreamConfiguration configuration;
    std::string error;
  };
  auto otherFormat = streamConfiguration(640, 360);
  otherFormat.pixelFormat = 0x42475241;
  const std::vector<Case> cases = {
      {"unknown display", 12345, streamConfiguration(640, 360), "display 12345 is not available"},
      {"other pixel format", leftDisplayID_, otherFormat, "X11 capture supports only the 420v pixel format"},
      {"empty picture", leftDisplayID_, streamConfiguration(1, 360), "unsupported capture size 1x360"},
      {"huge picture", leftDisplayID_, streamConfiguration(100000, 360), "unsupported capture size 100000x360"},
      {"negative size", leftDisplayID_, streamConfiguration(-640, 360), "unsupported capture size -640x360"},
  };
  for (const auto& testCase : cases) {
    auto stream = backend_->makeStream(testCase.displayID, testCase.configuration, receiver_);
    EXPECT_EQ(answerOf([&](auto completion) { stream->startCapture(std::move(completion)); }), testCase.error) << testCase.what;
  }
  EXPECT_EQ(receiver_->frameCount(), 0U);
  EXPECT_NE(backend_->makeStream(leftDisplayID_, streamConfiguration(64, 64), receiver_)->addStreamOutput(receiver_, SampleOutputType::audio),
            std::nullopt);
}

TEST_F(X11CaptureBackendTest, SharedMemoryAndPlainGetImageReadTheSamePixels) {
  painter_->showWindow({100, 50, 30, 20}, 0x00ff00);
  auto connection = openX11Connection(server_.display());
  ASSERT_TRUE(connection.ok());
  auto shared = X11ScreenGrabber::create(connection.value().get(), 200, 100);
  auto plain = X11ScreenGrabber::create(connection.value().get(), 200, 100, X11ScreenGrabber::Transfer::getImageOnly);
  ASSERT_TRUE(shared.ok() && plain.ok());
  EXPECT_TRUE(shared.value()->usesSharedMemory()) << shared.value()->sharedMemoryUnavailableReason();
  EXPECT_FALSE(plain.value()->usesSharedMemory());
  const auto sharedImage = shared.value()->grab(50, 25);
  const auto plainImage = plain.value()->grab(50, 25);
  ASSERT_TRUE(sharedImage && plainImage);
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 200; ++x) {
      const auto pixel = [&](const ArgbImage& image) {
        std::uint32_t value = 0;
        std::memcpy(&value, image.pixels + y * image.stride + x * 4, 4);
        return value & 0xffffff;
      };
      ASSERT_EQ(pixel(*sharedImage), pixel(*plainImage)) << x << "," << y;
      const bool inWindow = x >= 50 && x < 80 && y >= 25 && y < 45;
      ASSERT_EQ(pixel(*sharedImage), inWindow ? 0x00ff00U : kGrey) << x << "," << y;
    }
  }
  EXPECT_FALSE(shared.value()->grab(3800, 0)) << "a rectangle beyond the screen is refused, not fatal";
  EXPECT_FALSE(plain.value()->grab(3800, 0));
}

}  // namespace
}  // namespace velmora
