#include "platform/x11/x11_capture_backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "platform/testing/capture_stream_testing.h"
#include "platform/testing/xvfb_server.h"
#include "platform/x11/x11_display_source.h"
#include "platform/x11/x11_screen_grabber.h"
#include "platform/x11/x11_test_painter.h"

namespace velmora {
namespace {

using testing::captureConfiguration;
using testing::CapturedFrame;
using testing::Yuv;

constexpr std::uint32_t kGrey = 0x404040;

void expectColour(const CapturedFrame& frame, int x, int y, const Yuv& expected, const char* what) {
  EXPECT_TRUE(testing::isNear(frame.at(x, y), expected, 3)) << what;
}

// Voluntary context switches of each thread of this process so far: a thread woken by a timer
// shows here even when it delivers nothing.
std::map<std::string, long> threadWakeUps() {
  std::map<std::string, long> wakeUps;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("voluntary_ctxt_switches:")) {
        wakeUps[task.path().filename()] = std::stol(line.substr(line.find(':') + 1));
      }
    }
  }
  return wakeUps;
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
    for (const auto& screen : X11DisplaySource::open(server_.display()).value()->screens()) {
      (screen.name == "Left" ? leftDisplayID_ : rightDisplayID_) = screen.displayID;
    }
  }

  void startedStream(std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration) {
    streams_.push_back(testing::startedStream(*backend_, displayID, configuration, receiver_));
  }

  velmora::testing::XvfbServer server_{3840, 1080};
  std::unique_ptr<X11TestPainter> painter_;
  std::shared_ptr<X11CaptureBackend> backend_;
  std::uint32_t leftDisplayID_ = 0;
  std::uint32_t rightDisplayID_ = 0;
  std::shared_ptr<testing::CaptureReceiver> receiver_ = std::make_shared<testing::CaptureReceiver>();
  std::vector<std::shared_ptr<ScreenCaptureStream>> streams_;
};

TEST_F(X11CaptureBackendTest, TheScaledPictureShowsWindowsInPlaceAndOnlyAChangeInTheMonitorDeliversAnother) {
  painter_->showWindow({1920 + 480, 270, 480, 270}, 0xff0000);
  startedStream(rightDisplayID_, captureConfiguration(960, 540, true));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  // The window covers (240, 135) to (480, 270) of the half-size picture.
  expectColour(receiver_->lastFrame(), 250, 145, {82, 90, 240}, "red, inside the window");
  expectColour(receiver_->lastFrame(), 230, 145, {70, 128, 128}, "grey left of the window");
  auto wakeUpsBefore = threadWakeUps();
  EXPECT_TRUE(receiver_->staysAt(1)) << "a still screen";
  for (const auto& [thread, wakeUps] : threadWakeUps()) {  // a 30 Hz poll: 45; a sanitizer's helper: 15
    EXPECT_LT(wakeUps - wakeUpsBefore[thread], 25) << "thread " << thread << " polls a still screen";
  }

  painter_->fillRoot({100, 100, 200, 200}, 0xffffff);
  painter_->sync();
  EXPECT_TRUE(receiver_->staysAt(1)) << "drawing on the other monitor";

  // Applications draw into windows, not into the root window.
  painter_->showWindow({1920 + 100, 600, 200, 200}, 0xffffff);
  ASSERT_TRUE(receiver_->waitForFrames(2)) << "a window appearing on the captured monitor";
  expectColour(receiver_->lastFrame(), 100, 350, {235, 128, 128}, "the new white window");
}

TEST_F(X11CaptureBackendTest, PointerMotionDeliversAFrameWithTheCursorOnlyToStreamsThatShowIt) {
  const auto withoutCursor = std::make_shared<testing::CaptureReceiver>();
  streams_.push_back(testing::startedStream(*backend_, leftDisplayID_, captureConfiguration(960, 540, false), withoutCursor));
  startedStream(leftDisplayID_, captureConfiguration(1920, 1080, true));
  ASSERT_TRUE(receiver_->waitForFrames(1) && withoutCursor->waitForFrames(1));
  // XTest motion, as the host's own input sends it (xdotool's mousemove would warp instead).
  ASSERT_EQ(server_.run("xdotool mousemove_relative -- -3200 -560"), 0);
  ASSERT_TRUE(receiver_->waitForFrames(2));
  const auto frame = receiver_->lastFrame();
  int differentPixels = 0;
  for (int y = 480; y < 520; ++y) {
    for (int x = 580; x < 620; ++x) {
      differentPixels += std::abs(frame.at(x, y).y - 70) > 20 ? 1 : 0;
    }
  }
  EXPECT_GT(differentPixels, 10) << "the cursor around the pointer";
  EXPECT_TRUE(withoutCursor->staysAt(1));
}

// Only what changed is read and converted: a picture held downstream while others went out comes
// back with every change since, a moved cursor leaves no trail, and the result is what a whole
// grab gives.
TEST_F(X11CaptureBackendTest, PicturesUpdatedFromTheChangesAloneMatchAWholeGrab) {
  receiver_->keepFirstPicture();
  startedStream(leftDisplayID_, captureConfiguration(1920, 1080, true));
  ASSERT_TRUE(receiver_->waitForFrames(1));
  const auto waitFor = [&](const std::function<bool(const CapturedFrame&)>& shows, const char* what) {
    for (std::size_t count = receiver_->frameCount(); receiver_->waitForFrames(count + 1); ++count) {
      if (shows(receiver_->lastFrame())) {
        return;
      }
    }
    ADD_FAILURE() << "no frame shows " << what;
  };
  const auto lumaAt = [](int x, int y, int luma) {
    return [=](const CapturedFrame& frame) { return std::abs(frame.at(x, y).y - luma) <= 3; };
  };
  const auto hasCursorAround = [](const CapturedFrame& frame, int x, int y) {
    int differentPixels = 0;
    for (int row = y - 20; row < y + 20; ++row) {
      for (int column = x - 20; column < x + 20; ++column) {
        differentPixels += std::abs(frame.at(column, row).y - 70) > 20 ? 1 : 0;
      }
    }
    return differentPixels > 10;
  };
  painter_->showWindow({101, 101, 49, 49}, 0xff0000);
  waitFor(lumaAt(120, 120, 82), "the red window");
  painter_->showWindow({601, 301, 41, 41}, 0x00ff00);  // odd edges: 4:2:0 pairs rows and columns
  waitFor(lumaAt(620, 320, 145), "the green window");
  ASSERT_EQ(server_.run("xdotool mousemove_relative -- -2800 -560"), 0);  // onto (1000, 500)
  waitFor([&](const CapturedFrame& frame) { return hasCursorAround(frame, 1000, 500); }, "the cursor");
  receiver_->releaseFirstPicture();  // back to the pool, three changes behind
  ASSERT_EQ(server_.run("xdotool mousemove_relative -- 500 300"), 0);
  waitFor([&](const CapturedFrame& frame) { return hasCursorAround(frame, 1500, 800); }, "the cursor moved");
  const auto updated = receiver_->lastFrame();
  EXPECT_FALSE(hasCursorAround(updated, 1000, 500)) << "a trail where the cursor was";
  expectColour(updated, 120, 120, {82, 90, 240}, "red window");
  expectColour(updated, 641, 341, {145, 54, 34}, "green window's odd corner");

  const auto whole = std::make_shared<testing::CaptureReceiver>();
  streams_.push_back(testing::startedStream(*backend_, leftDisplayID_, captureConfiguration(1920, 1080, true), whole));
  ASSERT_TRUE(whole->waitForFrames(1));
  EXPECT_TRUE(updated.luma == whole->lastFrame().luma && updated.chroma == whole->lastFrame().chroma)
      << "the picture built from changes differs from a whole grab";
}

TEST_F(X11CaptureBackendTest, ALostXServerEndsTheStreamWithAnErrorAndLeavesTheProcessRunning) {
  auto doomedServer = std::make_unique<velmora::testing::XvfbServer>(1280, 720);
  ASSERT_TRUE(doomedServer->available());
  auto backend = X11CaptureBackend::open(doomedServer->display());
  ASSERT_TRUE(backend.ok()) << backend.error();
  const auto displayIDs = X11DisplaySource::open(doomedServer->display()).value()->activeDisplayIDs();
  ASSERT_EQ(displayIDs.size(), 1U);
  const auto stream = testing::startedStream(*backend.value(), displayIDs[0], captureConfiguration(640, 360), receiver_);
  ASSERT_TRUE(receiver_->waitForFrames(1));

  doomedServer.reset();
  EXPECT_EQ(receiver_->waitForStopError(), "the connection to the X server was lost");
  EXPECT_EQ(testing::stopCapture(*stream), std::nullopt);
  EXPECT_TRUE(testing::capturableDisplayIDs(*backend.value()).empty()) << "nothing left to share";
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
      std::uint32_t sharedPixel = 0;
      std::uint32_t plainPixel = 0;
      std::memcpy(&sharedPixel, sharedImage->pixels + y * sharedImage->stride + x * 4, 4);
      std::memcpy(&plainPixel, plainImage->pixels + y * plainImage->stride + x * 4, 4);
      const bool inWindow = x >= 50 && x < 80 && y >= 25 && y < 45;
      ASSERT_EQ(sharedPixel & 0xffffff, inWindow ? 0x00ff00U : kGrey) << x << "," << y;
      ASSERT_EQ(plainPixel & 0xffffff, sharedPixel & 0xffffff) << x << "," << y;
    }
  }
  EXPECT_FALSE(shared.value()->grab(3800, 0) || plain.value()->grab(3800, 0)) << "beyond the screen: refused, not fatal";
}

}  // namespace
}  // namespace velmora
