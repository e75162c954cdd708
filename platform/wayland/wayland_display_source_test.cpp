#include "platform/wayland/wayland_display_source.h"

#include <gtest/gtest.h>

#include "platform/desktop/display_identity.h"
#include "platform/dispatch/manual_main_queue.h"
#include "platform/wayland/testing/sway_compositor.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The controller's debounce: changes that all arrive within it are handled once.
constexpr auto kDebounce = 300ms;

TEST(WaylandDisplaySourceTest, OutputsBecomeScreensInPointsAndTheirChangesArriveAsOneBurst) {
  // HEADLESS-2 is configured before it exists: creating it is one change.
  testing::SwayCompositor sway({"output HEADLESS-1 resolution 1920x1080 position 0 0",
                                "output HEADLESS-2 resolution 1280x720 position 1920 0 scale 2"});
  if (!sway.available()) {
    GTEST_SKIP() << "sway cannot run here";
  }
  auto opened = WaylandDisplaySource::open(sway.socketPath());
  ASSERT_TRUE(opened.ok()) << opened.error();
  const auto source = opened.value();
  ManualMainQueue mainQueue;
  std::vector<Clock::time_point> changes;  // main thread only
  auto watch = source->watchChanges(mainQueue, [&] { changes.push_back(Clock::now()); });
  // Runs the swaymsg command and returns the screens once a change arrived and settled.
  const auto change = [&](const std::string& command) {
    changes.clear();
    EXPECT_EQ(sway.run("swaymsg " + command + " >/dev/null"), 0) << command;
    EXPECT_TRUE(mainQueue.runUntil([&] { return !changes.empty(); }, 10s)) << command;
    mainQueue.runUntil([] { return false; }, kDebounce);
    EXPECT_LT(changes.back() - changes.front(), kDebounce) << command;
    return source->screens();
  };

  auto screens = change("create_output");
  ASSERT_EQ(screens.size(), 2u);
  const std::uint32_t first = displayIDForName("HEADLESS-1");
  const std::uint32_t second = displayIDForName("HEADLESS-2");
  EXPECT_NE(first, second);
  EXPECT_EQ(source->mainDisplayID(), first);
  EXPECT_EQ(source->activeDisplayIDs(), (std::vector<std::uint32_t>{first, second}));
  EXPECT_EQ(screens[0].displayID, first);
  EXPECT_EQ(screens[0].frame, (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(screens[0].backingScaleFactor, 1);
  // Points: 1280x720 pixels at scale 2, its top edge level with the main display's top.
  EXPECT_EQ(screens[1].displayID, second);
  EXPECT_EQ(screens[1].name, "HEADLESS-2");
  EXPECT_EQ(screens[1].frame, (Rect{1920, 720, 640, 360}));
  EXPECT_EQ(screens[1].backingScaleFactor, 2);
  EXPECT_EQ(source->mirroredDisplayID(second), 0u);

  // A fractional scale, read from the logical size against the mode; the name keeps its ID.
  screens = change("output HEADLESS-2 scale 1.5");
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[1].displayID, second);
  EXPECT_NEAR(screens[1].frame.width, 1280 / 1.5, 1);
  EXPECT_NEAR(screens[1].backingScaleFactor, 1.5, 0.01);

  // Moved onto the first output's area: a mirror of it; the main one is the earlier at the origin.
  screens = change("output HEADLESS-2 mode 1920x1080 scale 1 position 0 0");
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[1].frame, (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(source->mirroredDisplayID(second), first);
  EXPECT_EQ(source->mainDisplayID(), first);

  // Another connection (a restarted host) numbers the outputs the same; no call after the watch went.
  auto again = WaylandDisplaySource::open(sway.socketPath());
  ASSERT_TRUE(again.ok()) << again.error();
  EXPECT_EQ(again.value()->activeDisplayIDs(), source->activeDisplayIDs());
  watch.reset();
  changes.clear();
  ASSERT_EQ(sway.run("swaymsg output HEADLESS-2 scale 2 >/dev/null"), 0);
  mainQueue.runUntil([] { return false; }, kDebounce);
  EXPECT_TRUE(changes.empty());
}

// Sway 1.7 cannot take a headless output away; a nested sway's outputs are windows of the outer one,
// and closing WL-2's window withdraws it.
TEST(WaylandDisplaySourceTest, AnOutputTakenAwayIsAChangeAndLeavesTheOthers) {
  testing::SwayCompositor outer;
  if (!outer.available()) {
    GTEST_SKIP() << "sway cannot run here";
  }
  testing::SwayCompositor inner({}, {"WLR_BACKENDS=wayland", "WAYLAND_DISPLAY=" + outer.socketPath()});
  ASSERT_TRUE(inner.available());
  ASSERT_EQ(inner.run("swaymsg create_output >/dev/null"), 0);
  auto source = WaylandDisplaySource::open(inner.socketPath());
  ASSERT_TRUE(source.ok()) << source.error();
  ManualMainQueue mainQueue;
  int changes = 0;
  auto watch = source.value()->watchChanges(mainQueue, [&] { ++changes; });
  ASSERT_TRUE(mainQueue.runUntil([&] { return source.value()->activeDisplayIDs().size() == 2; }, 10s));
  changes = 0;

  ASSERT_EQ(outer.run("swaymsg '[title=\"wlroots - WL-2\"]' kill >/dev/null"), 0);
  // The outer sway may first re-tile WL-1's window (a change of its own) before WL-2 is gone.
  ASSERT_TRUE(mainQueue.runUntil([&] { return changes > 0 && source.value()->activeDisplayIDs().size() == 1; }, 10s));
  EXPECT_EQ(source.value()->activeDisplayIDs(), std::vector<std::uint32_t>{displayIDForName("WL-1")});
}

}  // namespace
}  // namespace velmora
