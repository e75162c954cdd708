#include <gtest/gtest.h>

#include <set>

#include "platform/x11/testing/toolkit_entries/toolkit_entry.h"
#include "platform/x11/x11_input_backend.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::Toolkit;

// One after the other, far more distinct characters than there are spare key codes, most of
// which no key of a US keymap carries, so that spare key codes are lent again and again.
const std::vector<std::string> kTexts = {
    "ÀÉÎÕÜ ñç ß àéîõü ÿœøåł žščřď ĀĒĪŌŪ ąęėįų",
    "αβγδε ΑΒΓΔΕ ζηθικλμνξοπρστυφχψω ΖΗΘΙΚΛΜΝΞΟΠΡΣΤΥΦΧΨΩ",
    "Съешь же ещё этих мягких французских булок, да выпей чаю. ЖЦЫЯЮЭЙ",
    "日本語のテキスト 中文输入法测试 한국어 키보드 漢字仮名交じり文",
    "😀😃🎉🚀🌍🐍🍕🎸 ok!",
};

// Toolkit, loaded (two busy loops beside), XKB. This Xvfb cannot turn XKEYBOARD off, so "without
// XKB" is XKB_DISABLE=1 in the client's environment, which hides it from Xlib: Tk then reads the
// core keymap. GDK crashes on its first key that way (gdk_x11_keymap_key_is_modifier), and Qt
// reads the keymap through xcb and xkbcommon, which the variable does not reach: Tk alone runs it.
using TypingCase = std::tuple<Toolkit, bool, bool>;

class X11TypingTest : public ::testing::TestWithParam<TypingCase> {};

TEST_P(X11TypingTest, EveryTypedTextArrivesExactlyInTheFocusedEntry) {
  const auto [toolkit, loaded, xkb] = GetParam();
  const testing::XvfbServer server(640, 480);
  if (!server.available()) {
    GTEST_SKIP() << "Xvfb is not available";
  }
  std::vector<std::unique_ptr<testing::ChildProcess>> busyLoops;
  for (int loop = 0; loaded && loop < 2; ++loop) {
    busyLoops.push_back(std::make_unique<testing::ChildProcess>("sh", std::vector<std::string>{"-c", "while :; do :; done"}));
  }
  testing::ToolkitEntry entry(server, toolkit, xkb ? std::vector<std::string>{} : std::vector<std::string>{"XKB_DISABLE=1"});
  if (!entry.built()) {
    GTEST_SKIP() << "this toolkit's entry is not built or installed here";
  }
  ASSERT_TRUE(entry.focused()) << entry.output();
  const auto backend = makeX11InputBackend(server.display());
  ASSERT_TRUE(backend.ok()) << backend.error();

  std::string expected;
  std::set<char32_t> distinct;
  for (const auto& text : kTexts) {
    backend.value()->postUnicodeString(text);
    expected += text;
    const auto codePoints = codePointsOf(text);
    distinct.insert(codePoints.begin(), codePoints.end());
    ASSERT_EQ(entry.waitForText(codePointsOf(expected).size(), 30s), expected)
        << "after typing: " << text << (entry.ended() ? "; the entry ended" : "");
  }
  EXPECT_GE(distinct.size(), 3 * backend.value()->spareKeyCount());
}

std::string caseName(const ::testing::TestParamInfo<TypingCase>& info) {
  const auto [toolkit, loaded, xkb] = info.param;
  return std::string(toolkit == Toolkit::tk ? "Tk" : toolkit == Toolkit::gtk ? "Gtk" : "Qt") + (loaded ? "Loaded" : "Idle") +
         (xkb ? "WithXkb" : "WithoutXkb");
}

INSTANTIATE_TEST_SUITE_P(Toolkits, X11TypingTest,
                         ::testing::Values(TypingCase{Toolkit::tk, false, true}, TypingCase{Toolkit::tk, true, true},
                                           TypingCase{Toolkit::tk, false, false}, TypingCase{Toolkit::tk, true, false},
                                           TypingCase{Toolkit::gtk, false, true}, TypingCase{Toolkit::gtk, true, true},
                                           TypingCase{Toolkit::qt, false, true}, TypingCase{Toolkit::qt, true, true}),
                         caseName);

// Character keys are pressed where they sit, so the host's layout gives them their meaning;
// typed text, shortcuts and keys such as Home do not depend on it.
TEST(X11LayoutTest, KeysFollowTheHostLayoutWhileTypedTextAndShortcutsStayExact) {
  const struct {
    const char* layout;
    bool whileRunning;  // set after the backend has read the keymap it replaces
    std::vector<KeyboardEvent> keys;  // each pressed and released
    const char* typed;
    const char* expected;
  } cases[] = {
      {"de", false, {{0x10}, {0x06}, {0x12, true, EventFlags::shift}, {0x29}}, "ß€@äÖ", "zy!öß€@äÖ"},
      {"fr", false, {{0x0C}, {0x00}, {0x12}, {0x12, true, EventFlags::shift}, {0x2E}}, "àéèç€@#", "aq&1,àéèç€@#"},
      {"de", true, {{0x10}, {0x12, true, EventFlags::shift}}, "@ä", "z!@ä"},
  };
  for (const auto& [layout, whileRunning, keys, typed, expected] : cases) {
    const testing::XvfbServer server(640, 480);
    if (!server.available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    std::shared_ptr<X11InputBackend> backend;
    if (whileRunning) {
      backend = makeX11InputBackend(server.display()).value();
      ASSERT_TRUE(backend->postKeyboardEvent({0x38}));
      ASSERT_TRUE(backend->postKeyboardEvent({0x38, false}));
    }
    ASSERT_EQ(testing::ChildProcess("setxkbmap", {"-display", server.display(), layout}).waitForExit(5s), 0);
    testing::ToolkitEntry entry(server, Toolkit::tk);
    if (!entry.built()) {
      GTEST_SKIP() << "wish is not installed here";
    }
    ASSERT_TRUE(entry.focused()) << entry.output();
    if (!backend) {
      backend = makeX11InputBackend(server.display()).value();
    }
    const auto tap = [&](KeyboardEvent key) {
      ASSERT_TRUE(backend->postKeyboardEvent(key));
      key.keyDown = false;
      ASSERT_TRUE(backend->postKeyboardEvent(key));
    };
    for (const auto& key : keys) {
      tap(key);
    }
    backend->postUnicodeString(typed);
    EXPECT_EQ(entry.waitForText(codePointsOf(expected).size(), 10s), expected) << layout << (whileRunning ? " set later" : "");
    // Select all with shift-Home, copy with command-C, paste after itself with command-V.
    for (const KeyboardEvent key : {KeyboardEvent{0x73, true, EventFlags::shift}, KeyboardEvent{0x08, true, EventFlags::command},
                                    KeyboardEvent{0x77}, KeyboardEvent{0x09, true, EventFlags::command}}) {
      tap(key);
    }
    EXPECT_EQ(entry.waitForText(2 * codePointsOf(expected).size(), 10s), std::string(expected) + expected) << layout;
  }
}

}  // namespace
}  // namespace velmora
