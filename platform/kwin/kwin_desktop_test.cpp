#include "platform/kwin/kwin_desktop.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/desktop/display_identity.h"
#include "platform/dispatch/manual_main_queue.h"
#include "platform/kwin/kwin_screencast.h"
#include "platform/kwin/protocols/zkde-screencast-unstable-v1-client.h"
#include "platform/kwin/testing/kwin_compositor.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

const std::uint32_t kFirst = displayIDForName("Virtual-0");
const std::uint32_t kSecond = displayIDForName("Virtual-1");

// With a KWin of its own: it changes the outputs.
TEST(KwinDisplaysTest, OutputsAreDisplaysWithKwinsPrimaryAsTheMainOne) {
  testing::KwinCompositor kwin;
  if (!kwin.available()) {
    GTEST_SKIP() << kwin.unavailableReason();
  }
  auto opened = openKwinDesktop(kwin.socketPath());
  ASSERT_TRUE(opened) << opened.error();
  const auto displays = opened.value().displays;
  ManualMainQueue mainQueue;
  bool changed = false;
  auto watch = displays->watchChanges(mainQueue, [&] { changed = true; });
  using Layout = std::vector<std::pair<std::uint32_t, Rect>>;
  const auto layout = [&] {
    Layout screens;
    for (const auto& screen : displays->screens()) {
      screens.emplace_back(screen.displayID, screen.frame);
    }
    return screens;
  };
  const Rect origin{0, 0, 1280, 720};
  // Frames in points from the main display's lower-left corner, in KWin's announcement order.
  const std::vector<std::tuple<std::string, Layout, std::uint32_t>> steps = {
      {"", {{kFirst, origin}, {kSecond, {1280, 0, 1280, 720}}}, kFirst},
      // KWin's primary is the main display, though not at the layout's origin.
      {"Virtual-1 primary", {{kFirst, {-1280, 0, 1280, 720}}, {kSecond, origin}}, kSecond},
  };
  for (const auto& step : steps) {
    // Not a structured binding: clang's lambdas cannot capture one.
    const auto& change = std::get<0>(step);
    const auto& screens = std::get<1>(step);
    const std::uint32_t mainDisplayID = std::get<2>(step);
    changed = change.empty();
    ASSERT_TRUE(change.empty() || kwin.run(VELMORA_KWIN_OUTPUT_SWITCH " " + change) == 0) << change;
    EXPECT_TRUE(mainQueue.runUntil(
        [&] { return changed && layout() == screens && displays->mainDisplayID() == mainDisplayID; }, 10s))
        << change << ": heard " << changed << ", main display " << displays->mainDisplayID();
    EXPECT_EQ(layout(), screens) << change;
  }
}

// One KWin for the tests that leave its outputs as they are.
class KwinDesktopTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { kwin_ = std::make_unique<testing::KwinCompositor>(); }
  static void TearDownTestSuite() { kwin_.reset(); }

  void SetUp() override {
    if (!kwin_->available()) {
      GTEST_SKIP() << kwin_->unavailableReason();
    }
    auto opened = openKwinDesktop(kwin_->socketPath());
    ASSERT_TRUE(opened) << opened.error();
    desktop_ = opened.value();
  }

  static inline std::unique_ptr<testing::KwinCompositor> kwin_;
  KwinDesktop desktop_;
};

TEST_F(KwinDesktopTest, KeysClicksADragAndScrollReachAWindowOnTheSecondOutputAtTheirPoints) {
  testing::ChildProcess recorder(VELMORA_WAYLAND_POINTER_RECORDER, {"1"}, kwin_->environment());
  ASSERT_TRUE(recorder.waitForLineContaining("size 1280 720") && recorder.waitForLineContaining("focus"));
  InputBackend& input = *desktop_.input;
  // Typed text is checked end to end; here a key by its place, with Shift from the client's flags.
  EXPECT_TRUE(input.postKeyboardEvent({0x00, true, EventFlags::shift}));  // the A key
  EXPECT_TRUE(input.postKeyboardEvent({0x00, false, EventFlags::shift}));
  EXPECT_TRUE(recorder.waitForLineContaining("text A", 5s)) << recorder.output();

  ASSERT_EQ(input.displayBounds(kSecond), (Rect{1280, 0, 1280, 720}));
  const auto at = [](PointerEventType type, double x, double y, PointerButton button = PointerButton::left) {
    return PointerEvent{type, {1280 + x, y}, button, {}, {}, {}, {}};
  };
  using enum PointerEventType;
  // Lines in order, in surface-local points: KWin rounds to whole ones.
  const std::vector<std::pair<std::vector<PointerEvent>, std::vector<std::string>>> steps = {
      {{at(leftMouseDown, 200, 100), at(leftMouseUp, 200, 100)}, {"200 100", "button 272 1", "button 272 0"}},
      {{at(leftMouseDown, 10.4, 20), at(leftMouseDragged, 1000, 600), at(leftMouseUp, 1000, 600)},
       {"10 20", "button 272 1", "motion 1000 600", "button 272 0"}},
      {{at(rightMouseDown, 5, 5, PointerButton::right), at(rightMouseUp, 5, 5, PointerButton::right)},
       {"motion 5 5", "button 273 1", "button 273 0"}},
  };
  for (const auto& [events, lines] : steps) {
    std::ranges::for_each(events, [&](const PointerEvent& event) { input.postPointerEvent(event); });
    for (const auto& line : lines) {
      EXPECT_TRUE(recorder.waitForLineContaining(line, 5s)) << line << "\n" << recorder.output();
    }
  }
  EXPECT_EQ(input.pointerLocation(), (GlobalPoint{1285, 5}));
  input.postScrollWheelEvent(ScrollWheelEvent{ScrollUnit::line, 1, 0, 0});  // up: Wayland's axis grows down
  EXPECT_TRUE(recorder.waitForLineContaining("axis 0 -", 5s)) << recorder.output();
}

// No pointer moves while the stream is open.
TEST_F(KwinDesktopTest, AnOutputStreamIsAPipeWireNodeUntilItsKeepAliveGoes) {
  auto connection = WaylandSharedConnection::open(kwin_->socketPath());
  ASSERT_TRUE(connection) << connection.error();
  KwinScreencast screencast(connection.value(), connection.value()->connection().bind<zkde_screencast_unstable_v1>(
                                                    zkde_screencast_unstable_v1_interface, 1));
  connection.value()->start();
  auto source = screencast.nodeOf(kFirst, "display 1");
  ASSERT_TRUE(source) << source.error();
  const std::string node = "id " + std::to_string(source.value().nodeID) + ", type PipeWire:Interface:Node";
  const auto listed = [&] { return kwin_->output("timeout 5 pw-cli ls Node").find(node) != std::string::npos; };
  ManualMainQueue poller;
  EXPECT_TRUE(poller.runUntil(listed, 10s)) << node;
  source.value().keepAlive.reset();
  EXPECT_TRUE(poller.runUntil([&] { return !listed(); }, 10s)) << node;

  const auto unknown = screencast.nodeOf(12345, "display 12345");
  ASSERT_FALSE(unknown);
  EXPECT_THAT(unknown.error(), HasSubstr("display 12345"));
}

}  // namespace
}  // namespace velmora
