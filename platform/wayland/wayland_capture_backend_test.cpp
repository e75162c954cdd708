#include "platform/wayland/wayland_capture_backend.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/testing/capture_stream_testing.h"
#include "platform/wayland/testing/sway_compositor.h"
#include "platform/wayland/wayland_outputs.h"

namespace velmora::testing {
namespace {

bool shows(const CapturedFrame& frame, const Yuv& colour) {
  const Yuv middle = frame.at(frame.width / 2, frame.height / 2);
  return std::abs(middle.y - colour.y) < 8 && std::abs(middle.cb - colour.cb) < 8 && std::abs(middle.cr - colour.cr) < 8;
}

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
  const auto stream = startedStream(*backend.value(), waylandDisplayID("HEADLESS-1"), captureConfiguration(64, 48), receiver);
  ASSERT_TRUE(receiver->waitForFrames(1));
  // swaybg may still be drawing its first picture: wait for the screen to settle on red.
  for (auto count = receiver->frameCount(); !shows(receiver->lastFrame(), {81, 90, 240}); count = receiver->frameCount()) {
    ASSERT_TRUE(receiver->waitForFrames(count + 1)) << "the red background never showed";
  }
  EXPECT_TRUE(receiver->staysAt(receiver->frameCount()));

  sway.run("swaymsg output HEADLESS-1 bg '#0000ff' solid_color >/dev/null");
  for (auto count = receiver->frameCount(); !shows(receiver->lastFrame(), {41, 240, 110}); count = receiver->frameCount()) {
    ASSERT_TRUE(receiver->waitForFrames(count + 1)) << "the blue background never showed";
  }
  EXPECT_EQ(stopCapture(*stream), std::nullopt);
}

}  // namespace
}  // namespace velmora::testing
