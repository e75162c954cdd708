#include "platform/x11/x11_key_map.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(X11KeyMapTest, MacKeyCodesNameTheKeysOfTheSamePlaceOrNoKeyAtAll) {
  const struct {
    std::uint16_t macKeyCode;
    X11Keysym keysym;
  } cases[] = {
      {0, XK_a},           {29, XK_0},          {33, XK_bracketleft}, {50, XK_grave},    {36, XK_Return},
      {117, XK_Delete},    {116, XK_Prior},     {123, XK_Left},       {122, XK_F1},      {105, XK_F13},
      {82, XK_KP_0},       {76, XK_KP_Enter},   {72, XF86XK_AudioRaiseVolume},
      // Command is the host's Control, so that command-C copies; control becomes Super.
      {55, XK_Control_L},  {54, XK_Control_R},  {59, XK_Super_L},     {56, XK_Shift_L},  {58, XK_Alt_L},
      {57, XK_Caps_Lock},  {63, 0},             {66, 0},              {127, 0},          {65535, 0},
  };
  for (const auto& [macKeyCode, keysym] : cases) {
    EXPECT_EQ(keysymForMacKeyCode(macKeyCode), keysym) << "keyCode " << macKeyCode;
  }
}

TEST(X11KeyMapTest, CharactersTypeThroughLatin1AndUnicodeKeysyms) {
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

TEST(X11KeyMapTest, DecodesUtf8AndReplacesEachInvalidByte) {
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
