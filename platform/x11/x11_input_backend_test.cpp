#include "platform/x11/x11_input_backend.h"

#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <sstream>

#include "input/event_injector_service.h"
#include "platform/testing/xvfb_server.h"
#include "platform/x11/x11_display_source.h"
#include "platform/desktop/mac_key_map.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using M = ControlMessage;

constexpr auto kEventWait = 5s;
constexpr unsigned kModifierStateMask = ShiftMask | ControlMask | Mod1Mask | Mod4Mask | Mod5Mask;

PointerEvent pointerEvent(PointerEventType type, GlobalPoint location) {
  return {type, location, PointerButton::left, 0, 1, {}, {}};
}

// The event recorder's window over the whole screen, holding the keyboard focus; it looks keys up
// the way clients do. Lines are read in sequence.
class EventSink {
 public:
  explicit EventSink(const testing::XvfbServer& server)
      : recorder_(VELMORA_X11_EVENT_RECORDER, {"0", "0", "3840", "1080"}, {"DISPLAY=" + server.display()}) {
    EXPECT_TRUE(recorder_.waitForLineStartingWith("ready", kEventWait)) << recorder_.output();
  }

  // The fields after `kind` of the next such line: "1970 60 256" for "motion 1970 60 256".
  std::optional<std::istringstream> next(const std::string& kind) {
    auto rest = recorder_.waitForLineStartingWith(kind + " ", kEventWait);
    return rest ? std::optional(std::istringstream(*rest)) : std::nullopt;
  }

  // The keysym and state of the next key press of a key that is not a modifier.
  std::optional<std::pair<KeySym, unsigned>> nextKeyPress() {
    const auto found = recorder_.waitForLine(
        [](const std::string& line) { return line.starts_with("keyPress ") && !IsModifierKey(keyOf(line).first); },
        kEventWait);
    return found ? std::optional(keyOf(found->second)) : std::nullopt;
  }

  // Whether the next key presses type `text`, as a client reading their keysyms sees them.
  ::testing::AssertionResult typed(std::string_view text) {
    for (const char32_t codePoint : codePointsOf(text)) {
      auto key = nextKeyPress();
      const auto expected = keysymsForCodePoint(codePoint);
      if (!key || std::find(expected.begin(), expected.end(), key->first) == expected.end()) {
        return ::testing::AssertionFailure() << "U+" << std::hex << static_cast<std::uint32_t>(codePoint) << " in " << text;
      }
    }
    return ::testing::AssertionSuccess();
  }

 private:
  // From "keyPress KEYCODE KEYSYM STATE U+XXXX".
  static std::pair<KeySym, unsigned> keyOf(const std::string& line) {
    std::istringstream fields(line);
    std::string kind, keyCode, name;
    unsigned state = 0;
    fields >> kind >> keyCode >> name >> state;
    return {XStringToKeysym(name.c_str()), state};
  }

  testing::ChildProcess recorder_;
};

class X11InputBackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    observer_ = std::move(openX11Connection(server_.display()).value());
    auto backend = makeX11InputBackend(server_.display(), timing_);
    ASSERT_TRUE(backend.ok()) << backend.error();
    backend_ = backend.value();
  }

  void xrandr(const std::string& arguments) { ASSERT_EQ(server_.run("xrandr " + arguments), 0) << arguments; }

  // Left is 1920x1080 at the root's origin; Right, the primary, 1280x800 beside it, so global
  // (0, 0) is root pixel (1920, 0); Low, 640x480, further right and lower.
  void makeMonitors() {
    xrandr("--setmonitor Left 1920/500x1080/300+0+0 screen");
    xrandr("--setmonitor '*Right' 1280/340x800/210+1920+0 none");
    xrandr("--setmonitor Low 640/170x480/130+3200+600 none");
  }

  void setXftDpi(int dpi) {
    const std::string resources = "Xft.antialias:\t1\nXft.dpi:\t" + std::to_string(dpi) + "\n";
    XChangeProperty(observer_.get(), DefaultRootWindow(observer_.get()), XA_RESOURCE_MANAGER, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(resources.data()), static_cast<int>(resources.size()));
    XSync(observer_.get(), False);
  }

  std::uint32_t monitorNumber(const char* name) const {
    return static_cast<std::uint32_t>(XInternAtom(observer_.get(), name, True));
  }

  RootPoint pointer() const {
    Window window = None;
    RootPoint pixel;
    int unused = 0;
    unsigned mask = 0;
    XQueryPointer(observer_.get(), DefaultRootWindow(observer_.get()), &window, &window, &pixel.x, &pixel.y, &unused,
                  &unused, &mask);
    return pixel;
  }

  std::vector<KeySym> keyboardMapping() const {
    int first = 0;
    int last = 0;
    XDisplayKeycodes(observer_.get(), &first, &last);
    int perKeyCode = 0;
    KeySym* keysyms = XGetKeyboardMapping(observer_.get(), static_cast<KeyCode>(first), last - first + 1, &perKeyCode);
    std::vector<KeySym> mapping(keysyms, keysyms + (last - first + 1) * perKeyCode);
    XFree(keysyms);
    return mapping;
  }

  // The modifiers of keys held down, and those locked.
  XkbStateRec keyboardState() const {
    XkbStateRec state{};
    XkbGetState(observer_.get(), XkbUseCoreKbd, &state);
    return state;
  }

  std::unique_ptr<EventInjectorService> makeInjector() const {
    return std::make_unique<EventInjectorService>(EventInjectorService::Dependencies{backend_, EventInjectorTiming{}});
  }

  testing::XvfbServer server_;
  X11InputTiming timing_;
  X11Connection observer_;
  std::shared_ptr<X11InputBackend> backend_;
};

// The mapping itself is X11RootMapping's; here the backend must follow the live monitors and
// resolution, agree with the display source's frames (y up from the main display's bottom), and
// put the pointer on the root pixel of a global point.
TEST_F(X11InputBackendTest, BoundsAndPointerFollowTheLiveMonitorsAndTheInjectorClampsToTheTargetDisplay) {
  makeMonitors();
  for (const auto& [dpi, global, root] : {std::tuple{96, GlobalPoint{-1910, 5}, RootPoint{10, 5}},
                                          std::tuple{192, GlobalPoint{10, 20}, RootPoint{1940, 40}}}) {
    setXftDpi(dpi);
    const auto source = X11DisplaySource::open(server_.display()).value();
    ASSERT_EQ(backend_->mainDisplayID(), monitorNumber("Right"));
    ASSERT_EQ(source->mainDisplayID(), monitorNumber("Right"));
    const auto screens = source->screens();
    ASSERT_EQ(backend_->activeDisplayIDs().size(), screens.size());
    const Rect main = backend_->displayBounds(monitorNumber("Right"));
    for (const auto& screen : screens) {
      const Rect& frame = screen.frame;
      const Rect expected{frame.x, main.height - (frame.y + frame.height), frame.width, frame.height};
      EXPECT_EQ(backend_->displayBounds(screen.displayID), expected) << screen.name << " at " << dpi << " dpi";
    }
    EXPECT_EQ(backend_->displayBounds(monitorNumber("Left")).width, 1920 * 96.0 / dpi);
    backend_->postPointerEvent(pointerEvent(PointerEventType::mouseMoved, global));
    EXPECT_EQ(pointer(), root) << global.x << "," << global.y << " at " << dpi << " dpi";
    EXPECT_EQ(backend_->pointerLocation(), global);
  }
  setXftDpi(96);
  const auto injector = makeInjector();
  for (const auto& [target, x, y, root] : {std::tuple{"Right", 5000.0, -5.0, RootPoint{3199, 0}},
                                           std::tuple{"Low", 3.0, 4.0, RootPoint{3203, 604}},
                                           std::tuple{"", -50.0, 900.0, RootPoint{1920, 799}}}) {
    injector->setTargetDisplayID(*target ? std::optional(monitorNumber(target)) : std::nullopt);
    injector->handle(M::MouseMove{x, y});
    EXPECT_EQ(pointer(), root) << target << " " << x << "," << y;
  }
  // Relative moves stay within all monitors together.
  injector->handle(M::MouseMoveRelative{-100000, 100000});
  EXPECT_EQ(pointer(), (RootPoint{0, 1079}));
}

TEST_F(X11InputBackendTest, ADragHoldsTheButtonDownAndScrollLinesAreClicksOfButtonsFourToSeven) {
  makeMonitors();
  EventSink sink(server_);
  const auto injector = makeInjector();
  injector->setTargetDisplayID(monitorNumber("Right"));
  injector->handle(M::MouseDown{10, 10, M::MouseButton::left});
  ASSERT_TRUE(sink.next("buttonPress"));
  injector->handle(M::MouseDrag{50, 60});
  int x = 0, y = 0;
  unsigned state = 0;
  for (std::optional<std::istringstream> motion; !(x == 1970 && y == 60) && (motion = sink.next("motion"));) {
    *motion >> x >> y >> state;
  }
  ASSERT_TRUE(x == 1970 && y == 60) << "no motion to the drag's end";
  EXPECT_NE(state & Button1Mask, 0U);
  injector->handle(M::MouseUp{50, 60, M::MouseButton::left});
  auto released = sink.next("buttonRelease 1");
  ASSERT_TRUE(released && *released >> x);
  EXPECT_EQ(x, 1970);

  backend_->postScrollWheelEvent(ScrollWheelEvent{ScrollUnit::line, 3, 0, 0});
  backend_->postScrollWheelEvent(ScrollWheelEvent{ScrollUnit::line, -2, 0, 0});
  backend_->postScrollWheelEvent(ScrollWheelEvent{ScrollUnit::line, 0, 1, 0});
  backend_->postScrollWheelEvent(ScrollWheelEvent{ScrollUnit::line, 0, -1, 0});
  std::vector<unsigned> buttons;
  for (std::optional<std::istringstream> event; buttons.size() < 7 && (event = sink.next("buttonPress"));) {
    *event >> buttons.emplace_back();
  }
  EXPECT_EQ(buttons, (std::vector<unsigned>{4, 4, 4, 5, 5, 6, 7})) << "up, down, left, right";
}

TEST_F(X11InputBackendTest, KeysArriveWithTheModifiersOfTheirFlags) {
  EventSink sink(server_);
  const struct {
    std::uint16_t macKeyCode;
    std::uint64_t flags;
    KeySym keysym;
    unsigned state;
  } cases[] = {
      {0, 0, XK_a, 0},
      {0, EventFlags::shift, XK_A, ShiftMask},
      {8, EventFlags::command, XK_c, ControlMask},  // command-C copies on the host
      {8, EventFlags::control, XK_c, Mod4Mask},
      {18, EventFlags::alternate, XK_1, Mod1Mask},
      {105, 0, XK_F13, 0},   // no key carries it: a spare key code does
      {83, 0, XK_KP_1, 0},   // only on the second level of its key without num lock
  };
  for (const auto& [macKeyCode, flags, keysym, state] : cases) {
    ASSERT_TRUE(backend_->postKeyboardEvent(KeyboardEvent{macKeyCode, true, flags}));
    ASSERT_TRUE(backend_->postKeyboardEvent(KeyboardEvent{macKeyCode, false, flags}));
    auto key = sink.nextKeyPress();
    ASSERT_TRUE(key) << "keyCode " << macKeyCode;
    EXPECT_EQ(key->first, keysym) << "keyCode " << macKeyCode;
    EXPECT_EQ(key->second & kModifierStateMask, state) << "keyCode " << macKeyCode;
    EXPECT_EQ(keyboardState().base_mods, 0) << "modifiers pressed for the key stay down";
  }
  EXPECT_FALSE(backend_->postKeyboardEvent(KeyboardEvent{63, true, 0})) << "fn names no key";
}

// Text is typed exactly as sent whatever the client holds; what it holds stays down for its next keys.
TEST_F(X11InputBackendTest, TypedTextArrivesAsSentDespiteCapsLockAndHeldModifiersWhichStay) {
  EventSink sink(server_);
  ASSERT_EQ(server_.run("xdotool key Caps_Lock"), 0);
  ASSERT_TRUE(backend_->postKeyboardEvent(KeyboardEvent{59, true, EventFlags::control}));
  for (const std::string text : {"aB\u00e9 ~`|\\ \u00a6\u00df\u20ac",  // ¦ is on level three of the key of <
                                 "\u00c0\u00d5\u00dd",                   // accented capitals stay capitals
                                 "\U0001F600\U0001F3FD e\u0301 \u4e2d\u0416", "tab\there\nnext line"}) {
    backend_->postUnicodeString(text);
    EXPECT_TRUE(sink.typed(text));
  }
  EXPECT_NE(keyboardState().locked_mods & LockMask, 0) << "caps lock is on again";
  EXPECT_EQ(keyboardState().base_mods, Mod4Mask);
  ASSERT_TRUE(backend_->postKeyboardEvent(KeyboardEvent{0, true, EventFlags::control}));
  ASSERT_TRUE(backend_->postKeyboardEvent(KeyboardEvent{0, false, EventFlags::control}));
  EXPECT_EQ(keyboardState().base_mods, Mod4Mask) << "across the client's own keys too";
  ASSERT_TRUE(backend_->postKeyboardEvent(KeyboardEvent{59, false, 0}));
  EXPECT_EQ(keyboardState().base_mods, 0);
}

// That text comes out right while spare keys are lent again and again is checked in real toolkits.
TEST_F(X11InputBackendTest, SpareKeysGoBackToNothingUnusedOrWhenTheBackendGoes) {
  backend_.reset();
  timing_.spareKeyRestoreDelay = 200ms;
  backend_ = makeX11InputBackend(server_.display(), timing_).value();
  const auto before = keyboardMapping();
  backend_->postUnicodeString("\u4e2d\u6587");
  EXPECT_NE(keyboardMapping(), before);
  testing::eventually([&] { return backend_->lentSpareKeyCount() == 0; }, 10s, 10ms);
  EXPECT_EQ(keyboardMapping(), before);

  backend_.reset();
  timing_.spareKeyRestoreDelay = 1h;
  backend_ = makeX11InputBackend(server_.display(), timing_).value();
  backend_->postUnicodeString("\u20ac");
  ASSERT_TRUE(backend_->postKeyboardEvent(KeyboardEvent{105, true, 0}));  // F13, held
  backend_.reset();
  EXPECT_EQ(keyboardMapping(), before);
  EXPECT_EQ(keyboardState().base_mods, 0);
}

TEST(X11InputBackendLostServerTest, ALostServerLeavesTheBackendUntrustedAndInert) {
  std::optional<testing::XvfbServer> server(std::in_place);
  if (!server->available()) {
    GTEST_SKIP() << "Xvfb is not available";
  }
  auto backend = makeX11InputBackend(server->display()).value();
  EXPECT_TRUE(backend->isProcessTrusted());
  server.reset();
  EXPECT_FALSE(backend->isProcessTrusted());
  EXPECT_EQ(backend->pointerLocation(), std::nullopt);
  EXPECT_EQ(backend->mainDisplayID(), 0U);
  backend->postPointerEvent(pointerEvent(PointerEventType::leftMouseDown, {1, 1}));
  backend->postScrollWheelEvent(ScrollWheelEvent{ScrollUnit::line, 5, 5, 0});
  backend->postKeyboardEvent(KeyboardEvent{0, true, EventFlags::command});
  backend->postUnicodeString("\u20ac");
  backend->setClipboardText("gone");
  backend.reset();
}

}  // namespace
}  // namespace velmora
