#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/input_backend.h"

namespace velmora {

// Keysyms as plain numbers (Xlib's KeySym values), so this header pulls in no X11 header.
using X11Keysym = std::uint32_t;

// The host's modifier keys for the client's modifier flags, in the order they are pressed around a
// key. Command is Control and control is Super, so that command-C copies on the host as it does
// on the client; the modifier keys themselves map the same way in keysymForMacKeyCode.
struct FlagModifier {
  std::uint64_t flag;  // an EventFlags bit
  X11Keysym left;
  X11Keysym right;
};
inline constexpr std::array<FlagModifier, 4> kFlagModifiers = {{
    {EventFlags::shift, 0xffe1, 0xffe2},      // Shift_L, Shift_R
    {EventFlags::control, 0xffeb, 0xffec},    // Super_L, Super_R
    {EventFlags::alternate, 0xffe9, 0xffea},  // Alt_L, Alt_R
    {EventFlags::command, 0xffe3, 0xffe4},    // Control_L, Control_R
}};

// The keysym that the client's macOS virtual key code stands for (0 to 127), 0 for codes that
// name no key (function key, unassigned codes).
X11Keysym keysymForMacKeyCode(std::uint16_t macKeyCode);

// The XKB name ("AC01") of the place that a character key's macOS key code stands for, empty for
// keys whose meaning does not depend on the layout (modifiers, editing and function keys). The
// host presses the key at that place, so the host's layout gives it its character, as it would
// to the same keyboard plugged into the host.
std::string_view xkbKeyNameForMacKeyCode(std::uint16_t macKeyCode);

// What a keyboard of the host can tell about itself, in its own key codes.
struct HostKeyLookup {
  // The key at an XKB place, where the layout gives that place a keysym on its first level.
  std::function<std::optional<std::uint32_t>(std::string_view place)> keyAtPlace;
  // A key that carries `keysym` on its first level.
  std::function<std::optional<std::uint32_t>(X11Keysym keysym)> keyOnFirstLevel;
};
// The host's key for a client's key: the key at its place (xkbKeyNameForMacKeyCode), else the one
// carrying its keysym. None where the host's keyboard has neither.
std::optional<std::uint32_t> hostKeyForMacKeyCode(std::uint16_t macKeyCode, const HostKeyLookup& lookup);

// The keysyms that type `codePoint`, preferred first: the Latin-1 or Unicode keysym, then older
// keysyms that keyboards use for the same character. Empty for characters that cannot be typed
// (control characters other than tab, newline, return, backspace, escape and delete).
std::vector<X11Keysym> keysymsForCodePoint(char32_t codePoint);

// The code points of a UTF-8 text in order; every invalid byte becomes U+FFFD.
std::vector<char32_t> codePointsOf(std::string_view utf8);

}  // namespace velmora
