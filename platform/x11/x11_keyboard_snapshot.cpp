#include "platform/x11/x11_keyboard_snapshot.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>

#include "platform/released_pointer.h"

namespace velmora {
namespace {

constexpr int kLockRow = 1;

void freeKeyboard(XkbDescPtr keyboard) { XkbFreeKeyboard(keyboard, 0, True); }
void freeModifierMap(XModifierKeymap* map) { XFreeModifiermap(map); }
void freeKeysyms(KeySym* keysyms) { XFree(keysyms); }

}  // namespace

X11KeyboardSnapshot::X11KeyboardSnapshot(_XDisplay* display, const std::vector<unsigned>& excludedKeyCodes) {
  XQueryKeymap(display, keysDown_.data());
  const ReleasedPointer<XModifierKeymap, freeModifierMap> modifierMap(XGetModifierMapping(display));
  for (int row = 0; modifierMap && row < kModifierRows; ++row) {
    for (int column = 0; column < modifierMap->max_keypermod; ++column) {
      const unsigned keyCode = modifierMap->modifiermap[row * modifierMap->max_keypermod + column];
      if (keyCode != 0) {
        modifierRows_[static_cast<std::size_t>(row)].push_back(keyCode);
      }
    }
  }
  int firstKeyCode = 0;
  int lastKeyCode = 0;
  XDisplayKeycodes(display, &firstKeyCode, &lastKeyCode);
  if (!readXkbLevels(display, firstKeyCode, lastKeyCode, excludedKeyCodes)) {
    readCoreLevels(display, firstKeyCode, lastKeyCode, excludedKeyCodes);
  }
  shiftKey_ = keyOnFirstLevel(XK_Shift_L);
  if (!shiftKey_) {
    shiftKey_ = keyOnFirstLevel(XK_Shift_R);
  }
  capsLockKey_ = keyOnFirstLevel(XK_Caps_Lock);
}

bool X11KeyboardSnapshot::refreshState(_XDisplay* display) {
  if (readWithXkb_) {
    XkbStateRec state{};
    if (XkbGetState(display, XkbUseCoreKbd, &state) != Success || state.group != group_ ||
        (state.locked_mods & ~static_cast<unsigned>(LockMask)) != levelLocks_) {
      return false;
    }
    capsLocked_ = (state.locked_mods & LockMask) != 0;
  }
  XQueryKeymap(display, keysDown_.data());
  return true;
}

std::optional<X11KeyStroke> X11KeyboardSnapshot::find(X11Keysym keysym) const {
  const auto found = strokes_.find(keysym);
  if (found == strokes_.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::optional<unsigned> X11KeyboardSnapshot::keyOnFirstLevel(X11Keysym keysym) const {
  const auto stroke = find(keysym);
  if (!stroke || stroke->modifiers != 0) {
    return std::nullopt;
  }
  return stroke->keyCode;
}

int X11KeyboardSnapshot::modifierRowOf(unsigned keyCode) const {
  for (int row = 0; row < kModifierRows; ++row) {
    const auto& keys = modifierRows_[static_cast<std::size_t>(row)];
    if (std::find(keys.begin(), keys.end(), keyCode) != keys.end()) {
      return row;
    }
  }
  return -1;
}

bool X11KeyboardSnapshot::isDown(unsigned keyCode) const {
  return keyCode < 256 && (keysDown_[keyCode / 8] & (1 << (keyCode % 8))) != 0;
}

bool X11KeyboardSnapshot::modifierHeld(int row) const {
  const auto& keys = modifierRows_[static_cast<std::size_t>(row)];
  return std::any_of(keys.begin(), keys.end(), [this](unsigned keyCode) { return isDown(keyCode); });
}

std::vector<unsigned> X11KeyboardSnapshot::heldModifierKeys() const {
  const auto numLockKey = keyOnFirstLevel(XK_Num_Lock);
  const int numLockRow = numLockKey ? modifierRowOf(*numLockKey) : -1;
  std::vector<unsigned> held;
  for (int row = 0; row < kModifierRows; ++row) {
    if (row == kLockRow || row == numLockRow) {
      continue;
    }
    for (const unsigned keyCode : modifierRows_[static_cast<std::size_t>(row)]) {
      if (isDown(keyCode) && std::find(held.begin(), held.end(), keyCode) == held.end()) {
        held.push_back(keyCode);
      }
    }
  }
  return held;
}

bool X11KeyboardSnapshot::readXkbLevels(_XDisplay* display, int firstKeyCode, int lastKeyCode,
                                        const std::vector<unsigned>& excludedKeyCodes) {
  const ReleasedPointer<XkbDescRec, freeKeyboard> keyboard(XkbGetMap(display, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd));
  XkbStateRec state{};
  if (!keyboard || XkbGetState(display, XkbUseCoreKbd, &state) != Success) {
    return false;
  }
  readWithXkb_ = true;
  group_ = state.group;
  capsLocked_ = (state.locked_mods & LockMask) != 0;
  // Caps lock is switched off while typing; other locks (num lock) stay and choose levels too.
  const unsigned lockedMask = state.locked_mods & ~static_cast<unsigned>(LockMask);
  levelLocks_ = lockedMask;
  const auto keysymAt = [&](unsigned keyCode, unsigned mask) -> X11Keysym {
    const int groups = XkbKeyNumGroups(keyboard.get(), keyCode);
    if (groups == 0) {
      return NoSymbol;
    }
    const int group = state.group % groups;
    const XkbKeyTypePtr type = XkbKeyKeyType(keyboard.get(), keyCode, group);
    const unsigned relevant = (mask | lockedMask) & type->mods.mask;
    int level = 0;
    for (int entry = 0; entry < type->map_count; ++entry) {
      if (type->map[entry].active && type->map[entry].mods.mask == relevant) {
        level = type->map[entry].level;
        break;
      }
    }
    if (level >= XkbKeyGroupsWidth(keyboard.get(), keyCode)) {
      return NoSymbol;
    }
    return static_cast<X11Keysym>(XkbKeySymEntry(keyboard.get(), keyCode, level, group));
  };

  // Level three is reached through the modifier that the key carrying ISO_Level3_Shift sets.
  unsigned levelThreeMask = 0;
  for (int code = firstKeyCode; code <= lastKeyCode && levelThreeMask == 0; ++code) {
    const auto keyCode = static_cast<unsigned>(code);
    const int row = keysymAt(keyCode, 0) == XK_ISO_Level3_Shift ? modifierRowOf(keyCode) : -1;
    if (row >= 0) {
      levelThreeKey_ = keyCode;
      levelThreeMask = 1u << row;
    }
  }
  addStrokes(firstKeyCode, lastKeyCode, excludedKeyCodes, levelThreeMask != 0, [&](unsigned keyCode, unsigned modifiers) {
    const unsigned shift = (modifiers & X11KeyStroke::kShiftLevel) != 0 ? ShiftMask : 0;
    const unsigned levelThree = (modifiers & X11KeyStroke::kLevelThree) != 0 ? levelThreeMask : 0;
    return keysymAt(keyCode, shift | levelThree);
  });
  return true;
}

void X11KeyboardSnapshot::readCoreLevels(_XDisplay* display, int firstKeyCode, int lastKeyCode,
                                         const std::vector<unsigned>& excludedKeyCodes) {
  int perKeyCode = 0;
  const ReleasedPointer<KeySym, freeKeysyms> keysyms(
      XGetKeyboardMapping(display, static_cast<KeyCode>(firstKeyCode), lastKeyCode - firstKeyCode + 1, &perKeyCode));
  if (!keysyms) {
    return;
  }
  const auto keysymAt = [&](unsigned keyCode, int index) -> KeySym {
    return index < perKeyCode ? keysyms.get()[(static_cast<int>(keyCode) - firstKeyCode) * perKeyCode + index] : NoSymbol;
  };
  // The core rules: a key with one keysym types its lower case, and its upper case shifted.
  addStrokes(firstKeyCode, lastKeyCode, excludedKeyCodes, false, [&](unsigned keyCode, unsigned modifiers) {
    const bool shifted = (modifiers & X11KeyStroke::kShiftLevel) != 0;
    const KeySym first = keysymAt(keyCode, 0);
    const KeySym second = keysymAt(keyCode, 1);
    if (second != NoSymbol) {
      return static_cast<X11Keysym>(shifted ? second : first);
    }
    KeySym lower = first;
    KeySym upper = first;
    XConvertCase(first, &lower, &upper);
    return static_cast<X11Keysym>(shifted ? upper : lower);
  });
}

void X11KeyboardSnapshot::addStrokes(int firstKeyCode, int lastKeyCode, const std::vector<unsigned>& excludedKeyCodes,
                                     bool withLevelThree, const KeysymAt& keysymAt) {
  constexpr unsigned kShift = X11KeyStroke::kShiftLevel;
  constexpr unsigned kLevelThree = X11KeyStroke::kLevelThree;
  // Fewer modifiers first, then lower key codes: the first key found for a keysym is kept.
  for (const unsigned modifiers : {0u, kShift, kLevelThree, kShift | kLevelThree}) {
    if ((modifiers & kLevelThree) != 0 && !withLevelThree) {
      continue;
    }
    for (int code = std::max(firstKeyCode, 0); code <= std::min(lastKeyCode, 255); ++code) {
      const auto keyCode = static_cast<unsigned>(code);
      if (std::binary_search(excludedKeyCodes.begin(), excludedKeyCodes.end(), keyCode)) {
        continue;
      }
      const X11Keysym keysym = keysymAt(keyCode, modifiers);
      if (keysym != NoSymbol) {
        strokes_.try_emplace(keysym, X11KeyStroke{keyCode, modifiers});
      }
    }
  }
}

}  // namespace velmora
