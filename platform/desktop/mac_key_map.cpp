#include "platform/desktop/mac_key_map.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <array>

namespace velmora {
namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr X11Keysym kUnicodeKeysymBase = 0x1000000;

constexpr const FlagModifier& modifierOf(std::uint64_t flag) {
  for (const auto& modifier : kFlagModifiers) {
    if (modifier.flag == flag) {
      return modifier;
    }
  }
  return kFlagModifiers.front();
}
constexpr const FlagModifier& kCommandKeys = modifierOf(EventFlags::command);
constexpr const FlagModifier& kControlKeys = modifierOf(EventFlags::control);

// Indexed by the macOS virtual key code; 0 where the code names no key.
constexpr std::array<X11Keysym, 128> kMacKeyCodeKeysyms = {
    XK_a, XK_s, XK_d, XK_f, XK_h, XK_g, XK_z, XK_x,                                          // 0x00
    XK_c, XK_v, XK_section, XK_b, XK_q, XK_w, XK_e, XK_r,                                   // 0x08
    XK_y, XK_t, XK_1, XK_2, XK_3, XK_4, XK_6, XK_5,                                          // 0x10
    XK_equal, XK_9, XK_7, XK_minus, XK_8, XK_0, XK_bracketright, XK_o,                       // 0x18
    XK_u, XK_bracketleft, XK_i, XK_p, XK_Return, XK_l, XK_j, XK_apostrophe,                  // 0x20
    XK_k, XK_semicolon, XK_backslash, XK_comma, XK_slash, XK_n, XK_m, XK_period,             // 0x28
    XK_Tab, XK_space, XK_grave, XK_BackSpace, XK_KP_Enter, XK_Escape,
    kCommandKeys.right, kCommandKeys.left, XK_Shift_L, XK_Caps_Lock, XK_Alt_L, kControlKeys.left, XK_Shift_R, XK_Alt_R,
    kControlKeys.right,
    0,           // fn: never reaches the host as a key of its own
    XK_F17, XK_KP_Decimal, 0, XK_KP_Multiply, 0, XK_KP_Add, 0, XK_Clear,                    // 0x40
    XF86XK_AudioRaiseVolume, XF86XK_AudioLowerVolume, XF86XK_AudioMute, XK_KP_Divide,        // 0x48
    XK_KP_Enter, 0, XK_KP_Subtract, XK_F18,
    XK_F19, XK_KP_Equal, XK_KP_0, XK_KP_1, XK_KP_2, XK_KP_3, XK_KP_4, XK_KP_5,               // 0x50
    XK_KP_6, XK_KP_7, XK_F20, XK_KP_8, XK_KP_9, XK_yen, XK_underscore, XK_KP_Separator,      // 0x58
    XK_F5, XK_F6, XK_F7, XK_F3, XK_F8, XK_F9, XK_Eisu_toggle, XK_F11,                        // 0x60
    XK_Hiragana_Katakana, XK_F13, XK_F16, XK_F14, 0, XK_F10, XK_Menu, XK_F12,                // 0x68
    0, XK_F15,
    XK_Insert,  // help, where PC keyboards have insert
    XK_Home, XK_Prior, XK_Delete, XK_F4, XK_End,                                              // 0x70
    XK_F2, XK_Next, XK_F1, XK_Left, XK_Right, XK_Down, XK_Up, 0,                             // 0x78
};

// Indexed by the macOS virtual key code, up to the grave key; the ISO section key is the one
// beside the left shift, where PC keyboards have their extra ISO key.
constexpr std::array<std::string_view, 0x33> kMacKeyCodePlaces = {
    "AC01", "AC02", "AC03", "AC04", "AC06", "AC05", "AB01", "AB02",  // 0x00
    "AB03", "AB04", "LSGT", "AB05", "AD01", "AD02", "AD03", "AD04",  // 0x08
    "AD06", "AD05", "AE01", "AE02", "AE03", "AE04", "AE06", "AE05",  // 0x10
    "AE12", "AE09", "AE07", "AE11", "AE08", "AE10", "AD12", "AD09",  // 0x18
    "AD07", "AD11", "AD08", "AD10", "",     "AC09", "AC07", "AC11",  // 0x20
    "AC08", "AC10", "BKSL", "AB08", "AB10", "AB06", "AB07", "AB09",  // 0x28
    "",     "",     "TLDE",                                          // 0x30
};
constexpr std::uint16_t kMacJisYenKey = 0x5D;
constexpr std::uint16_t kMacJisUnderscoreKey = 0x5E;

// Characters that keyboards carry under keysyms older than the Unicode ones.
struct LegacyKeysym {
  char32_t codePoint;
  X11Keysym keysym;
};
constexpr std::array<LegacyKeysym, 4> kLegacyKeysyms = {{
    {0x20AC, XK_EuroSign},
    {0x0152, XK_OE},
    {0x0153, XK_oe},
    {0x0178, XK_Ydiaeresis},
}};

X11Keysym controlKeysym(char32_t codePoint) {
  switch (codePoint) {
    case U'\t':
      return XK_Tab;
    case U'\n':
    case U'\r':
      return XK_Return;
    case U'\b':
      return XK_BackSpace;
    case 0x1B:
      return XK_Escape;
    case 0x7F:
      return XK_Delete;
    default:
      return 0;
  }
}

}  // namespace

X11Keysym keysymForMacKeyCode(std::uint16_t macKeyCode) {
  return macKeyCode < kMacKeyCodeKeysyms.size() ? kMacKeyCodeKeysyms[macKeyCode] : 0;
}

std::string_view xkbKeyNameForMacKeyCode(std::uint16_t macKeyCode) {
  if (macKeyCode == kMacJisYenKey) {
    return "AE13";
  }
  if (macKeyCode == kMacJisUnderscoreKey) {
    return "AB11";
  }
  return macKeyCode < kMacKeyCodePlaces.size() ? kMacKeyCodePlaces[macKeyCode] : std::string_view{};
}

std::optional<std::uint32_t> hostKeyForMacKeyCode(std::uint16_t macKeyCode, const HostKeyLookup& lookup) {
  if (const auto place = xkbKeyNameForMacKeyCode(macKeyCode); !place.empty()) {
    if (const auto atPlace = lookup.keyAtPlace(place)) {
      return atPlace;
    }
  }
  const X11Keysym keysym = keysymForMacKeyCode(macKeyCode);
  return keysym != 0 ? lookup.keyOnFirstLevel(keysym) : std::nullopt;
}

std::vector<X11Keysym> keysymsForCodePoint(char32_t codePoint) {
  if (codePoint < 0x20 || codePoint == 0x7F) {
    const X11Keysym keysym = controlKeysym(codePoint);
    return keysym != 0 ? std::vector<X11Keysym>{keysym} : std::vector<X11Keysym>{};
  }
  // Latin-1 keysyms equal their code points; C1 controls, surrogates and non-characters beyond
  // Unicode have no keysym.
  if (codePoint < 0x7F || (codePoint >= 0xA0 && codePoint <= 0xFF)) {
    return {static_cast<X11Keysym>(codePoint)};
  }
  if (codePoint < 0xA0 || (codePoint >= 0xD800 && codePoint <= 0xDFFF) || codePoint > 0x10FFFF) {
    return {};
  }
  std::vector<X11Keysym> keysyms = {kUnicodeKeysymBase + static_cast<X11Keysym>(codePoint)};
  for (const auto& legacy : kLegacyKeysyms) {
    if (legacy.codePoint == codePoint) {
      keysyms.push_back(legacy.keysym);
    }
  }
  return keysyms;
}

std::vector<char32_t> codePointsOf(std::string_view utf8) {
  std::vector<char32_t> codePoints;
  codePoints.reserve(utf8.size());
  std::size_t index = 0;
  while (index < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[index]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || index + length > utf8.size()) {
      codePoints.push_back(kReplacementCharacter);
      ++index;
      continue;
    }
    char32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = true;
    for (std::size_t offset = 1; offset < length; ++offset) {
      const auto continuation = static_cast<unsigned char>(utf8[index + offset]);
      valid = valid && (continuation >> 6) == 0x2;
      codePoint = (codePoint << 6) | (continuation & 0x3F);
    }
    constexpr std::array<char32_t, 5> kSmallestOfLength = {0, 0, 0x80, 0x800, 0x10000};
    valid = valid && codePoint >= kSmallestOfLength[length] && codePoint <= 0x10FFFF &&
            !(codePoint >= 0xD800 && codePoint <= 0xDFFF);
    if (!valid) {
      codePoints.push_back(kReplacementCharacter);
      ++index;
      continue;
    }
    codePoints.push_back(codePoint);
    index += length;
  }
  return codePoints;
}

}  // namespace velmora
