// The GNOME family against a headless mutter with two virtual monitors.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "platform/dispatch/manual_main_queue.h"
#include "platform/gnome/mutter_capture_backend.h"
#include "platform/gnome/mutter_display_source.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/gnome/testing/mutter_layout_testing.h"
#include "platform/testing/capture_stream_testing.h"
#include "platform/testing/desktop_session.h"
#include "platform/desktop/display_identity.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

struct Mutter {
  explicit Mutter(testing::DesktopSession::MutterLayout layout = testing::DesktopSession::MutterLayout::physical)
      : desktop({"1280x720", "2560x1440"}, layout) {}

  // The second monitor is large enough for mutter to offer scale 2.
  testing::DesktopSession desktop;
  std::shared_ptr<DBusConnection> bus;
  std::shared_ptr<MutterRemoteDesktop> session;

  // False (and the test skips) where mutter cannot run.
  bool start() {
    if (!desktop.available()) {
      return false;
    }
    auto opened = DBusConnection::open(DBusConnection::Bus::session, desktop.busAddress());
    EXPECT_TRUE(opened) << opened.error();
    bus = std::move(opened.value());
    auto started = MutterRemoteDesktop::start(bus);
    EXPECT_TRUE(started) << started.error();
    session = started ? started.value() : nullptr;
    return session != nullptr;
  }

  void applyMonitors(const std::string& logicalMonitors) const {
    ASSERT_TRUE(testing::applyMutterMonitors(desktop, logicalMonitors)) << logicalMonitors;
  }
};

TEST(MutterSessionTest, MonitorsBecomeRecordedScreensAndTheirChangesRecordThemAgain) {
  Mutter mutter;
  if (!mutter.start()) {
    GTEST_SKIP() << "headless mutter cannot run here";
  }
  const std::uint32_t small = displayIDForName("Meta-0");
  const std::uint32_t large = displayIDForName("Meta-1");
  auto opened = MutterDisplaySource::open(mutter.bus);
  ASSERT_TRUE(opened) << opened.error();
  const auto source = opened.value();
  ManualMainQueue mainQueue;
  int changes = 0;  // main thread only
  auto watch = source->watchChanges(mainQueue, [&] { ++changes; });

  // Mutter puts the larger monitor first, as its primary.
  auto streams = mutter.session->recordingStreams(10s);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].displayID, large);
  EXPECT_EQ(streams[0].width, 2560);
  EXPECT_NE(streams[0].pipeWireNode, 0u);
  EXPECT_NE(streams[1].pipeWireNode, streams[0].pipeWireNode);
  EXPECT_EQ(source->mainDisplayID(), large);
  auto screens = source->screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[1].name, "Meta-0");
  // Its top edge level with the main display's top, in a layout with y up.
  EXPECT_EQ(screens[1].frame, (Rect{2560, 720, 1280, 720}));

  const std::string firstPath = mutter.session->remoteDesktopSessionPath();
  mutter.applyMonitors(
      "(0, 0, 1.0, 0, false, [('Meta-0', '1280x720@60.000', @a{sv} {})]), "
      "(1280, 0, 2.0, 0, true, [('Meta-1', '2560x1440@60.000', @a{sv} {})])");
  ASSERT_TRUE(mainQueue.runUntil([&] { return changes > 0; }, 10s));
  screens = source->screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(source->mainDisplayID(), large);
  EXPECT_EQ(screens[0].frame, (Rect{-1280, 0, 1280, 720}));
  EXPECT_EQ(screens[1].frame, (Rect{0, 0, 1280, 720}));
  EXPECT_EQ(screens[1].backingScaleFactor, 2);
  EXPECT_EQ(mutter.session->recordingStreams(10s).size(), 2u);
  EXPECT_NE(mutter.session->remoteDesktopSessionPath(), firstPath);

  // A monitor taken out of the layout: one screen, one stream, the session still running.
  changes = 0;
  mutter.applyMonitors("(0, 0, 1.0, 0, true, [('Meta-0', '1280x720@60.000', @a{sv} {})])");
  ASSERT_TRUE(mainQueue.runUntil([&] { return changes > 0; }, 10s));
  EXPECT_EQ(source->activeDisplayIDs(), std::vector<std::uint32_t>{small});
  streams = mutter.session->recordingStreams(10s);
  ASSERT_EQ(streams.size(), 1u);
  EXPECT_EQ(streams[0].displayID, small);
  EXPECT_TRUE(mutter.session->running());
}

// With fractional scaling on, mutter lays monitors out in whole points; the host's displays follow
// that layout edge to edge, keep mutter's scale, and the scaled monitor is still recorded in pixels.
TEST(MutterSessionTest, AFractionalScaleGivesWholePointsEdgeToEdgeAndPixelStreams) {
  Mutter mutter(testing::DesktopSession::MutterLayout::logical);
  if (!mutter.start()) {
    GTEST_SKIP() << "headless mutter cannot run here";
  }
  ASSERT_NE(testing::mutterDisplayState(mutter.desktop).find("'layout-mode': <uint32 1>"), std::string::npos);
  const double scale = testing::nearestSupportedScale(mutter.desktop, "Meta-1", 1.5);
  ASSERT_NE(scale, std::round(scale)) << "no fractional scale offered";
  auto opened = MutterDisplaySource::open(mutter.bus);
  ASSERT_TRUE(opened) << opened.error();
  const auto source = opened.value();
  ManualMainQueue mainQueue;
  bool changed = false;  // main thread only
  auto watch = source->watchChanges(mainQueue, [&] { changed = true; });

  const double width = std::round(2560 / scale);
  const double height = std::round(1440 / scale);
  mutter.applyMonitors(fmt::format("(0, 0, {}, 0, true, [('Meta-1', '2560x1440@60.000', @a{{sv}} {{}})]), "
                                   "({}, 0, 1.0, 0, false, [('Meta-0', '1280x720@60.000', @a{{sv}} {{}})])",
                                   scale, width));
  ASSERT_TRUE(mainQueue.runUntil([&] { return changed; }, 10s));
  auto screens = source->screens();
  ASSERT_EQ(screens.size(), 2u);
  std::sort(screens.begin(), screens.end(), [](const auto& a, const auto& b) { return a.name > b.name; });
  EXPECT_EQ(screens[0].frame, (Rect{0, 0, width, height}));
  EXPECT_EQ(screens[0].backingScaleFactor, scale);
  EXPECT_EQ(static_cast<int>(screens[0].frame.width * scale), 2560) << "the host's capture size in pixels";
  EXPECT_EQ(screens[1].frame, (Rect{width, height - 720, 1280, 720}));
  EXPECT_EQ(screens[1].backingScaleFactor, 1);

  const auto streams = mutter.session->recordingStreams(10s);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].connector, "Meta-1");
  EXPECT_EQ(streams[0].width, 2560);
  EXPECT_EQ(streams[0].height, 1440);
  setenv("XDG_RUNTIME_DIR", mutter.desktop.runtimeDirectory().c_str(), 1);
  MutterCaptureBackend backend(mutter.session);
  auto receiver = std::make_shared<testing::CaptureReceiver>();
  auto stream = testing::startedStream(backend, streams[0].displayID, testing::captureConfiguration(2560, 1440), receiver);
  EXPECT_TRUE(receiver->waitForFrames(1));
  EXPECT_EQ(testing::stopCapture(*stream), std::nullopt);
}

}  // namespace
}  // namespace velmora
