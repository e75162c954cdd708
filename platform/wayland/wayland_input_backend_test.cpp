#include "platform/wayland/wayland_input_backend.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "platform/desktop/display_identity.h"
#include "platform/testing/child_process.h"
#include "platform/wayland/testing/sway_compositor.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

// HEADLESS-2 is 640x360 points (1280x720 pixels at scale 2) right of the 1280x720 main output.
class WaylandInputBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sway_.available()) {
      GTEST_SKIP() << "sway cannot run here";
    }
  }

  std::shared_ptr<InputBackend> makeBackend() {
    auto made = makeWaylandInputBackend(sway_.socketPath());
    EXPECT_TRUE(made.ok()) << made.error();
    return made ? made.value() : nullptr;
  }

  testing::SwayCompositor sway_{{"output HEADLESS-1 resolution 1280x720 position 0 0",
                                 "output HEADLESS-2 resolution 1280x720 position 1280 0 scale 2"}};
};

TEST_F(WaylandInputBackendTest, ClicksDragsAndScrollsLandOnTheSecondOutput) {
  ASSERT_EQ(sway_.run("swaymsg create_output >/dev/null"), 0);
  testing::ChildProcess recorder(VELMORA_WAYLAND_POINTER_RECORDER, {}, sway_.environment());
  ASSERT_TRUE(recorder.waitForLineContaining("size "));
  ASSERT_EQ(sway_.run("swaymsg '[app_id=velmora-pointer-recorder] move container to output HEADLESS-2, "
                      "fullscreen enable' >/dev/null"),
            0);
  ASSERT_TRUE(recorder.waitForLineContaining("size 640 360"));
  const auto backend = makeBackend();
  ASSERT_TRUE(backend);
  const std::uint32_t second = displayIDForName("HEADLESS-2");
  EXPECT_EQ(backend->mainDisplayID(), displayIDForName("HEADLESS-1"));
  EXPECT_EQ(backend->displayBounds(second), (Rect{1280, 0, 640, 360}));
  EXPECT_TRUE(backend->isProcessTrusted());

  const auto at = [](PointerEventType type, double x, double y, PointerButton button = PointerButton::left) {
    PointerEvent event;
    event.type = type;
    event.location = {1280 + x, y};
    event.button = button;
    return event;
  };
  struct Step {
    std::vector<PointerEvent> events;
    std::vector<std::string> lines;  // in order, surface-local
  };
  const std::vector<Step> steps = {
      {{at(PointerEventType::mouseMoved, 100.5, 50)}, {"100.5 50"}},
      {{at(PointerEventType::leftMouseDown, 200, 100), at(PointerEventType::leftMouseUp, 200, 100)},
       {"200 100", "button 272 1", "button 272 0"}},
      {{at(PointerEventType::leftMouseDown, 10, 20), at(PointerEventType::leftMouseDragged, 600, 300),
        at(PointerEventType::leftMouseUp, 600, 300)},
       {"10 20", "button 272 1", "motion 600 300", "button 272 0"}},
      {{at(PointerEventType::rightMouseDown, 5, 5, PointerButton::right)}, {"motion 5 5", "button 273 1"}},
  };
  for (const auto& step : steps) {
    for (const auto& event : step.events) {
      backend->postPointerEvent(event);
    }
    for (const auto& line : step.lines) {
      EXPECT_TRUE(recorder.waitForLineContaining(line, 5s)) << line;
    }
  }
  EXPECT_EQ(backend->pointerLocation(), (GlobalPoint{1285, 5}));
  // Up one line: Wayland's vertical axis grows downward.
  backend->postScrollWheelEvent(ScrollWheelEvent{ScrollUnit::line, 1, 0, 0});
  EXPECT_TRUE(recorder.waitForLineContaining("axis 0 -15", 5s));
}

TEST_F(WaylandInputBackendTest, TypedTextAndKeysArriveInATerminalFromTheFirstKey) {
  const std::string file = sway_.environment().back().substr(std::string("XDG_RUNTIME_DIR=").size()) + "/typed";
  testing::ChildProcess terminal("foot", {"-e", "sh", "-c", "cat > " + file}, sway_.environment());
  // Keys reach the window with the focus: foot's, once it is shown.
  testing::eventually([&] { return sway_.run("swaymsg '[app_id=foot con_id=__focused__] nop' >/dev/null 2>&1") == 0; },
                      10s, 50ms);
  // Keys go by their place on the layout: the key the client calls Y types z on a German one.
  setenv("XKB_DEFAULT_LAYOUT", "de", 1);
  const auto backend = makeBackend();
  unsetenv("XKB_DEFAULT_LAYOUT");
  ASSERT_TRUE(backend);

  const std::string text = "Grüße Ωμέγα Привет 你好 שלום 😀\n";
  backend->postUnicodeString(text);
  const auto press = [&](std::uint16_t key, std::uint64_t flags = 0) {
    EXPECT_TRUE(backend->postKeyboardEvent({key, true, flags}));
    EXPECT_TRUE(backend->postKeyboardEvent({key, false, flags}));
  };
  press(0x0C);                       // q
  press(0x20, EventFlags::command);  // command-U, Control-U on the host: the line is dropped
  press(0x10);                       // the Y key
  press(0x00, EventFlags::shift);    // A
  press(0x24);                       // return
  EXPECT_EQ(testing::awaitFileContents(file, text + "zA\n"), text + "zA\n");
}

TEST_F(WaylandInputBackendTest, ClipboardTextComesBackFromPasteWhateverItsSize) {
  const auto backend = makeBackend();
  ASSERT_TRUE(backend);
  std::string large;
  for (int line = 0; large.size() < (1u << 20); ++line) {
    large += "line " + std::to_string(line) + " äöü\n";
  }
  for (const auto& [text, type] : std::vector<std::pair<std::string, std::string>>{
           {"short ünïcode 📋", "text/plain;charset=utf-8"}, {"as TEXT", "TEXT"}, {large, "UTF8_STRING"}}) {
    backend->setClipboardText(text);
    EXPECT_EQ(sway_.output("wl-paste --no-newline --type '" + type + "'"), text) << type;
  }
  // A reader that stops reading after a pipe's worth holds up no other paste.
  ASSERT_EQ(sway_.run("timeout 5 sh -c 'wl-paste | sleep 5' &"), 0);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(sway_.output("timeout 3 wl-paste --no-newline"), large);
}

}  // namespace
}  // namespace velmora
