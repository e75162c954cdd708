#include "platform/desktop/mac_key_map.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(MacKeyMapTest, MacKeyCodesNameTheKeysOfTheSamePlaceOrNoKeyAtAll) {
  const struct {
    std::uint16_t macKeyCode;
    X11Keysym keysym;
  } cases[] = {
      {0, XK_a},           {29, XK_0},          {33, XK_bracketleft}, {50, XK_grave},    {36, XK_Return},
      {117, XK_Delete},    {116, XK_Prior},     {123, XK_Left},       {122, XK_F1},      {105, XK_F13},
      {82, XK_KP_0},       {76, XK_KP_Enter},   {72, XF86XK_AudioRaiseVolume},
      {57, XK_Caps_Lock},  {63, 0},             {66, 0},              {127, 0},          {65535, 0},
  };
  for (const auto& [macKeyCode, keysym] : cases) {
    EXPECT_EQ(keysymForMacKeyCode(macKeyCode), keysym) << "keyCode " << macKeyCode;
  }
}

TEST(MacKeyMapTest, ModifierFlagsPressTheHostsKeysForCommandAsControlAndControlAsSuper) {
  const struct {
    std::uint64_t flag;
    X11Keysym left;
    X11Keysym right;
    std::uint16_t leftMacKey;
    std::uint16_t rightMacKey;
  } cases[] = {
      {EventFlags::shift, XK_Shift_L, XK_Shift_R, 56, 60},
      {EventFlags::control, XK_Super_L, XK_Super_R, 59, 62},
      {EventFlags::alternate, XK_Alt_L, XK_Alt_R, 58, 61},
      {EventFlags::command, XK_Control_L, XK_Control_R, 55, 54},
  };
  ASSERT_EQ(kFlagModifiers.size(), std::size(cases));
  for (std::size_t index = 0; index < kFlagModifiers.size(); ++index) {
    const auto& expected = cases[index];
    EXPECT_EQ(kFlagModifiers[index].flag, expected.flag) << index;
    EXPECT_EQ(kFlagModifiers[index].left, expected.left) << index;
    EXPECT_EQ(kFlagModifiers[index].right, expected.right) << index;
    // The modifier keys themselves stand for the same keys as their flags.
    EXPECT_EQ(keysymForMacKeyCode(expected.leftMacKey), expected.left) << index;
    EXPECT_EQ(keysymForMacKeyCode(expected.rightMacKey), expected.right) << index;
  }
}

TEST(MacKeyMapTest, HostKeysAreFoundByPlaceElseByKeysym) {
  // A keyboard whose only keys with a keysym at a client key's place is AC01 (a); z and Control
  // are elsewhere.
  const HostKeyLookup keyboard{
      [](std::string_view place) { return place == "AC01" ? std::optional<std::uint32_t>(38) : std::nullopt; },
      [](X11Keysym keysym) -> std::optional<std::uint32_t> {
        if (keysym == XK_z) {
          return 25;
        }
        return keysym == XK_Control_L ? std::optional<std::uint32_t>(37) : std::nullopt;
      }};
  const struct {
    const char* what;
    std::uint16_t macKeyCode;
    std::optional<std::uint32_t> key;
  } cases[] = {
      {"a goes to its place", 0, 38},
      {"z's place has no keysym: the key carrying z", 6, 25},
      {"command has no place: the key carrying Control", 55, 37},
      {"x has neither", 7, std::nullopt},
      {"no key at all", 63, std::nullopt},
  };
  for (const auto& [what, macKeyCode, key] : cases) {
    EXPECT_EQ(hostKeyForMacKeyCode(macKeyCode, keyboard), key) << what;
  }
}

TEST(MacKeyMapTest, CharactersTypeThroughLatin1AndUnicodeKeysyms) {
  const struct {
    char32_t codePoint;
    std::vector<X11Keysym> keysyms;
  } cases[] = {
      {U'~', {XK_asciitilde}},      {U'\u00c9', {XK_Eacute}},     {U'\u20ac', {0x10020AC, XK_EuroSign}},
      {U'\u0153', {0x1000153, XK_oe}}, {U'\U0010FFFF', {0x110FFFF}}, {U'\n', {XK_Return}}, {U'\r', {XK_Return}},
      {U'\t', {XK_Tab}},            {0x1B, {XK_Escape}},          {0x7F, {XK_Delete}},
      {0x00, {}},                   {0x85, {}},                   {0xD800, {}},         {0x110000, {}},
  };
  for (const auto& [codePoint, keysyms] : cases) {
    EXPECT_EQ(keysymsForCodePoint(codePoint), keysyms) << "U+" << std::hex << static_cast<std::uint32_t>(codePoint);
  }
}

TEST(MacKeyMapTest, DecodesUtf8AndReplacesEachInvalidByte) {
  const struct {
    std::string_view utf8;
    std::u32string codePoints;
  } cases[] = {
      {"a\u00e9\u20ac\U0001F600E\u0301", U"a\u00e9\u20ac\U0001F600E\u0301"},
      {"\xff", U"\ufffd"},
      {"a\xe2\x82", U"a\ufffd\ufffd"},                // cut short
      {"\xc0\xaf", U"\ufffd\ufffd"},                   // overlong
      {"\xed\xa0\x80", U"\ufffd\ufffd\ufffd"},         // surrogate
      {"\xf4\x90\x80\x80", U"\ufffd\ufffd\ufffd\ufffd"},  // beyond U+10FFFF
      {"\xe2\x28\xa1", U"\ufffd(\ufffd"},              // bad continuation
  };
  for (const auto& [utf8, codePoints] : cases) {
    const auto decoded = codePointsOf(utf8);
    EXPECT_EQ(std::u32string(decoded.begin(), decoded.end()), codePoints);
  }
}

}  // namespace
}  // namespace velmora
