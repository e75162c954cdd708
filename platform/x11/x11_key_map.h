#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace velmora {

// Keysyms as plain numbers (Xlib's KeySym values), so this header pulls in no X11 header.
using X11Keysym = std::uint32_t;

// The keysym that the client's macOS virtual key code stands for (0 to 127), 0 for codes that
// name no key (function key, unassigned codes). The command keys are Control and the control
// keys are Super, so that command-C copies on the host as it does on the client.
X11Keysym keysymForMacKeyCode(std::uint16_t macKeyCode);

// The XKB name ("AC01") of the place that a character key's macOS key code stands for, empty for
// keys whose meaning does not depend on the layout (modifiers, editing and function keys). The
// host presses the key at that place, so the host's layout gives it its character, as it would
// to the same keyboard plugged into the host.
std::string_view xkbKeyNameForMacKeyCode(std::uint16_t macKeyCode);

// The keysyms that type `codePoint`, preferred first: the Latin-1 or Unicode keysym, then older
// keysyms that keyboards use for the same character. Empty for characters that cannot be typed
// (control characters other than tab, newline, return, backspace, escape and delete).
std::vector<X11Keysym> keysymsForCodePoint(char32_t codePoint);

// The code points of a UTF-8 text in order; every invalid byte becomes U+FFFD.
std::vector<char32_t> codePointsOf(std::string_view utf8);

}  // namespace velmora
