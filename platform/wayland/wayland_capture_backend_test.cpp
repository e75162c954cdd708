#include "platform/wayland/wayland_capture_backend.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/testing/capture_stream_testing.h"
#include "platform/testing/child_process.h"
#include "platform/wayland/testing/sway_compositor.h"
#include "platform/desktop/display_identity.h"

namespace velmora::testing {
namespace {

constexpr Yuv kRed{81, 90, 240};
constexpr Yuv kBlack{16, 128, 128};

bool showsAt(const CapturedFrame& frame, int x, int y, const Yuv& colour) { return isNear(frame.at(x, y), colour, 7); }

bool shows(const CapturedFrame& frame, const Yuv& colour) { return showsAt(frame, frame.width / 2, frame.height / 2, colour); }

// The compositor answers a copy only once the output changed: a still screen sends nothing after
// its first frame, and each frame shows the output's colours (the buffer's byte order read right).
TEST(WaylandCaptureBackend, SendsAFrameOnlyWhenTheOutputChangedInItsTrueColours) {
  SwayCompositor sway({"output HEADLESS-1 resolution 640x480 bg #ff0000 solid_color"});
  if (!sway.available()) {
    GTEST_SKIP() << "headless sway is not available";
  }
  auto backend = WaylandCaptureBackend::open(sway.socketPath());
  ASSERT_TRUE(backend.ok()) << backend.error();
  const auto receiver = std::make_shared<CaptureReceiver>();
  const auto stream = startedStream(*backend.value(), displayIDForName("HEADLESS-1"), captureConfiguration(64, 48), receiver);
  ASSERT_TRUE(receiver->waitForFrames(1));
  // swaybg may still be drawing its first picture: wait for the screen to settle on red.
  for (auto count = receiver->frameCount(); !shows(receiver->lastFrame(), kRed); count = receiver->frameCount()) {
    ASSERT_TRUE(receiver->waitForFrames(count + 1)) << "the red background never showed";
  }
  EXPECT_TRUE(receiver->staysAt(receiver->frameCount()));

  sway.run("swaymsg output HEADLESS-1 bg '#0000ff' solid_color >/dev/null");
  for (auto count = receiver->frameCount(); !shows(receiver->lastFrame(), {41, 240, 110}); count = receiver->frameCount()) {
    ASSERT_TRUE(receiver->waitForFrames(count + 1)) << "the blue background never showed";
  }
  EXPECT_EQ(stopCapture(*stream), std::nullopt);
}

// Only what the compositor reports changed is converted: a picture held downstream while others
// went out comes back with every change since, and the result is what a fresh copy gives.
TEST(WaylandCaptureBackend, PicturesUpdatedFromTheDamageAloneMatchAFreshCopy) {
  SwayCompositor sway({"output HEADLESS-1 resolution 640x480 bg #ff0000 solid_color", "default_floating_border none",
                       "for_window [app_id=velmora-pointer-recorder] floating enable, resize set 160 120, "
                       "move position 100 100"});
  if (!sway.available()) {
    GTEST_SKIP() << "headless sway is not available";
  }
  auto backend = WaylandCaptureBackend::open(sway.socketPath());
  ASSERT_TRUE(backend.ok()) << backend.error();
  const auto receiver = std::make_shared<CaptureReceiver>();
  const auto displayID = displayIDForName("HEADLESS-1");
  const auto stream = startedStream(*backend.value(), displayID, captureConfiguration(640, 480), receiver);
  ASSERT_TRUE(receiver->waitForFrames(1));
  const auto waitFor = [&](const std::vector<std::pair<int, int>>& black, const std::vector<std::pair<int, int>>& red,
                           const std::string& what) {
    const auto done = [&](const CapturedFrame& frame) {
      return std::all_of(black.begin(), black.end(), [&](auto at) { return showsAt(frame, at.first, at.second, kBlack); }) &&
             std::all_of(red.begin(), red.end(), [&](auto at) { return showsAt(frame, at.first, at.second, kRed); });
    };
    for (std::size_t count = receiver->frameCount(); !done(receiver->lastFrame()); ++count) {
      ASSERT_TRUE(receiver->waitForFrames(count + 1)) << "no frame shows " << what;
    }
  };
  // Two black windows, 160x120, the second on top of the first at (100, 100); moved by process.
  ChildProcess lower(VELMORA_WAYLAND_POINTER_RECORDER, {}, sway.environment());
  ASSERT_TRUE(lower.waitForLineContaining("size 160 120"));
  ChildProcess upper(VELMORA_WAYLAND_POINTER_RECORDER, {}, sway.environment());
  ASSERT_TRUE(upper.waitForLineContaining("size 160 120"));
  waitFor({{180, 160}}, {}, "the windows");
  const auto move = [&](const ChildProcess& window, int x, int y) {
    sway.run(fmt::format("swaymsg '[pid={}] move position {} {}' >/dev/null", window.pid(), x, y));
  };

  receiver->keepFirstPicture();  // the next picture out is held
  move(lower, 400, 40);
  waitFor({{180, 160}, {480, 100}}, {}, "the lower window moved");
  move(upper, 400, 320);
  waitFor({{480, 100}, {480, 380}}, {{180, 200}}, "the upper window moved");
  // The picture just sent goes back to the pool first; the held one goes back after it and is out next.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  receiver->releaseFirstPicture();  // one change behind
  move(lower, 40, 40);  // the area this changes covers neither (100, 100) nor the upper window
  waitFor({{120, 100}, {480, 380}}, {{480, 100}, {180, 200}}, "the lower window moved back");
  const auto updated = receiver->lastFrame();

  const auto fresh = std::make_shared<CaptureReceiver>();
  const auto freshStream = startedStream(*backend.value(), displayID, captureConfiguration(640, 480), fresh);
  ASSERT_TRUE(fresh->waitForFrames(1));
  EXPECT_TRUE(updated.luma == fresh->lastFrame().luma && updated.chroma == fresh->lastFrame().chroma)
      << "the picture built from the changes differs from a fresh copy";
  EXPECT_EQ(stopCapture(*freshStream), std::nullopt);
  EXPECT_EQ(stopCapture(*stream), std::nullopt);
}

}  // namespace
}  // namespace velmora::testing
