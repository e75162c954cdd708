#include "platform/x11/x11_key_map.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>
#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(X11KeyMapTest, MacKeyCodesNameTheKeysOfTheSamePlace) {
  const struct {
    std::uint16_t macKeyCode;
    X11Keysym keysym;
  } cases[] = {
      {0, XK_a},           {12, XK_q},          {29, XK_0},          {22, XK_6},          {23, XK_5},
      {33, XK_bracketleft}, {41, XK_semicolon},  {50, XK_grave},      {36, XK_Return},     {51, XK_BackSpace},
      {117, XK_Delete},    {116, XK_Prior},     {121, XK_Next},      {123, XK_Left},      {126, XK_Up},
      {122, XK_F1},        {99, XK_F3},         {111, XK_F12},       {105, XK_F13},       {90, XK_F20},
      {82, XK_KP_0},       {92, XK_KP_9},       {76, XK_KP_Enter},   {65, XK_KP_Decimal}, {72, XF86XK_AudioRaiseVolume},
      // Command is the host's Control, so that command-C copies; control becomes Super.
      {55, XK_Control_L},  {54, XK_Control_R},  {59, XK_Super_L},   {62, XK_Super_R},
      {56, XK_Shift_L},    {60, XK_Shift_R},    {58, XK_Alt_L},     {61, XK_Alt_R},      {57, XK_Caps_Lock},
  };
  for (const auto& [macKeyCode, keysym] : cases) {
    EXPECT_EQ(keysymForMacKeyCode(macKeyCode), keysym) << "keyCode " << macKeyCode;
  }
}

TEST(X11KeyMapTest, CodesThatNameNoKeyHaveNoKeysym) {
  for (const int macKeyCode : {63, 66, 68, 70, 77, 108, 112, 127, 128, 200, 65535}) {
    EXPECT_EQ(keysymForMacKeyCode(static_cast<std::uint16_t>(macKeyCode)), 0U) << "keyCode " << macKeyCode;
  }
}

TEST(X11KeyMapTest, CharactersTypeThroughLatin1AndUnicodeKeysyms) {
  const struct {
    char32_t codePoint;
    std::vector<X11Keysym> keysyms;
  } cases[] = {
      {U'a', {XK_a}},
      {U'~', {XK_asciitilde}},
      {U' ', {XK_space}},
      {U'\u00c9', {XK_Eacute}},
      {U'\u20ac', {0x10020AC, XK_EuroSign}},
      {U'\u0153', {0x1000153, XK_oe}},
      {U'\u4e2d', {0x1004E2D}},
      {U'\U0001F600', {0x101F600}},
      {U'\U0010FFFF', {0x110FFFF}},
      {U'\n', {XK_Return}},   {U'\r', {XK_Return}}, {U'\t', {XK_Tab}}, {U'\b', {XK_BackSpace}},
      {0x1B, {XK_Escape}},    {0x7F, {XK_Delete}},
      {0x00, {}},             {0x07, {}},          {0x85, {}},        {0x9F, {}},
      {0xD800, {}},           {0xDFFF, {}},        {0x110000, {}},
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
      {"", U""},
      {"a\u00e9\u20ac\U0001F600", U"a\u00e9\u20ac\U0001F600"},
      {"E\u0301", U"E\u0301"},
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
