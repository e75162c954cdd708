// GNOME input against a headless mutter with two virtual monitors.
#include "platform/gnome/mutter_input_backend.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "platform/gnome/mutter_display_source.h"
#include "platform/testing/child_process.h"
#include "platform/testing/desktop_session.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

class MutterInputBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!desktop_.available()) {
      GTEST_SKIP() << "headless mutter cannot run here";
    }
    auto opened = DBusConnection::open(DBusConnection::Bus::session, desktop_.busAddress());
    ASSERT_TRUE(opened) << opened.error();
    const std::shared_ptr<DBusConnection> bus = std::move(opened.value());
    auto displays = MutterDisplaySource::open(bus);
    ASSERT_TRUE(displays) << displays.error();
    auto session = MutterRemoteDesktop::start(bus);
    ASSERT_TRUE(session) << session.error();
    session_ = session.value();
    auto backend = makeMutterInputBackend(session_, displays.value());
    ASSERT_TRUE(backend) << backend.error();
    backend_ = backend.value();
  }

  // The 800x600 monitor is placed right of the 1280x720 primary one.
  testing::DesktopSession desktop_{{"1280x720", "800x600"}};
  std::shared_ptr<MutterRemoteDesktop> session_;
  std::shared_ptr<InputBackend> backend_;
};

TEST_F(MutterInputBackendTest, ClicksLandOnEachMonitorAtTheirPlace) {
  const auto displays = backend_->activeDisplayIDs();
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_TRUE(backend_->isProcessTrusted());
  for (std::size_t index = 0; index < displays.size(); ++index) {
    testing::ChildProcess recorder(VELMORA_WAYLAND_POINTER_RECORDER, {std::to_string(index)}, desktop_.environment());
    const Rect bounds = backend_->displayBounds(displays[index]);
    ASSERT_TRUE(recorder.waitForLineContaining(
        "size " + std::to_string(static_cast<int>(bounds.width)) + " " + std::to_string(static_cast<int>(bounds.height))))
        << recorder.output();
    const auto at = [&](PointerEventType type, double x, double y) {
      PointerEvent event;
      event.type = type;
      event.location = {bounds.x + x, bounds.y + y};
      return event;
    };
    // Mutter animates a window as it maps it: moves land where asked once it stands still.
    for (int attempt = 0; attempt < 50 && !recorder.waitForLineContaining("motion 100.5 50", 100ms); ++attempt) {
      backend_->postPointerEvent(at(PointerEventType::mouseMoved, 100.5 + attempt % 2, 50));
    }
    backend_->postPointerEvent(at(PointerEventType::leftMouseDown, 300, 200));
    backend_->postPointerEvent(at(PointerEventType::leftMouseUp, 300, 200));
    for (const std::string line : {"motion 300 200", "button 272 1", "button 272 0"}) {
      EXPECT_TRUE(recorder.waitForLineContaining(line, 5s)) << "display " << index << ": " << line << "\n"
                                                            << recorder.output();
    }
    EXPECT_EQ(backend_->pointerLocation(), (GlobalPoint{bounds.x + 300, bounds.y + 200}));
    // Up one line: the vertical axis grows downward.
    backend_->postScrollWheelEvent(ScrollWheelEvent{ScrollUnit::line, 1, 0, 0});
    EXPECT_TRUE(recorder.waitForLineContaining("axis 0 -", 5s)) << recorder.output();
  }
}

TEST_F(MutterInputBackendTest, TypedTextArrivesFromTheFirstKeyAndWhatTheLayoutLacksIsReported) {
  const std::string file = desktop_.runtimeDirectory() + "/typed";
  testing::ChildProcess terminal("foot", {"-e", "sh", "-c", "cat > " + file}, desktop_.environment());
  testing::eventually([&] { return std::filesystem::exists(file); }, 5s, 50ms);
  std::this_thread::sleep_for(500ms);
  log::MemoryLogSink log;
  backend_->postUnicodeString("Hi, wörld ✓!\n");
  const auto press = [&](std::uint16_t key, std::uint64_t flags = 0) {
    EXPECT_TRUE(backend_->postKeyboardEvent({key, true, flags}));
    EXPECT_TRUE(backend_->postKeyboardEvent({key, false, flags}));
  };
  press(0x00, EventFlags::shift);  // A
  press(0x24);                     // return
  EXPECT_EQ(testing::awaitFileContents(file, "Hi, wrld !\nA\n"), "Hi, wrld !\nA\n");
  EXPECT_EQ(log.countContaining("the desktop's keyboard layout lacks them: U+00F6 U+2713"), 1u);
}

TEST_F(MutterInputBackendTest, ClipboardTextComesBackFromPaste) {
  for (const std::string& text : {std::string("short ünïcode 📋"), std::string(200000, 'x')}) {
    backend_->setClipboardText(text);
    EXPECT_EQ(desktop_.output("timeout 5 wl-paste --no-newline"), text);
  }
}

// The reader's early close reaches the host's writer as a broken pipe, which must not end it.
TEST_F(MutterInputBackendTest, APasteLeftEarlyLeavesTheClipboardServing) {
  const std::string text(4'000'000, 'x');
  backend_->setClipboardText(text);
  EXPECT_EQ(desktop_.output("timeout 5 wl-paste --no-newline | head -c 3"), "xxx");
  EXPECT_EQ(desktop_.output("timeout 10 wl-paste --no-newline | wc -c"), "4000000\n");
}

}  // namespace
}  // namespace velmora
