#pragma once

#include <array>
#include <functional>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/desktop/mac_key_map.h"

struct _XDisplay;

namespace velmora {

// A key, and the modifiers that reach the level carrying some keysym.
struct X11KeyStroke {
  static constexpr unsigned kShiftLevel = 1;
  static constexpr unsigned kLevelThree = 2;

  unsigned keyCode = 0;
  unsigned modifiers = 0;  // kShiftLevel, kLevelThree, both or neither
};

// The keyboard as the server has it at one moment: which key and level of the current group gives
// each keysym (as XKB's key types choose levels, with the locks other than caps lock applied), the
// modifier keys and which keys are down.
class X11KeyboardSnapshot {
 public:
  static constexpr int kModifierRows = 8;  // Shift, Lock, Control, Mod1 ... Mod5

  // Keys in `excludedKeyCodes` (sorted) are never offered for a keysym.
  X11KeyboardSnapshot(_XDisplay* display, const std::vector<unsigned>& excludedKeyCodes);

  // Reads the keys down and the locks again, keeping the keymap; false when the group or a lock
  // that chooses levels changed, so that the levels need reading too.
  bool refreshState(_XDisplay* display);

  // The key with the fewest modifiers, then the lowest key code.
  std::optional<X11KeyStroke> find(X11Keysym keysym) const;
  std::optional<unsigned> keyOnFirstLevel(X11Keysym keysym) const;

  int modifierRowOf(unsigned keyCode) const;  // -1 for a key that sets no modifier
  bool isDown(unsigned keyCode) const;
  bool modifierHeld(int row) const;
  // Modifier keys that are down, leaving out the locking ones (caps lock, num lock).
  std::vector<unsigned> heldModifierKeys() const;

  bool capsLocked() const { return capsLocked_; }
  std::optional<unsigned> capsLockKey() const { return capsLockKey_; }
  std::optional<unsigned> shiftKey() const { return shiftKey_; }
  std::optional<unsigned> levelThreeKey() const { return levelThreeKey_; }

 private:
  using KeysymAt = std::function<X11Keysym(unsigned keyCode, unsigned modifiers)>;

  bool readXkbLevels(_XDisplay* display, int firstKeyCode, int lastKeyCode, const std::vector<unsigned>& excludedKeyCodes);
  void readCoreLevels(_XDisplay* display, int firstKeyCode, int lastKeyCode, const std::vector<unsigned>& excludedKeyCodes);
  void addStrokes(int firstKeyCode, int lastKeyCode, const std::vector<unsigned>& excludedKeyCodes, bool withLevelThree,
                  const KeysymAt& keysymAt);

  std::array<char, 32> keysDown_{};
  std::array<std::vector<unsigned>, kModifierRows> modifierRows_;
  std::unordered_map<X11Keysym, X11KeyStroke> strokes_;
  bool capsLocked_ = false;
  bool readWithXkb_ = false;
  unsigned group_ = 0;
  unsigned levelLocks_ = 0;  // the locked modifiers other than caps lock
  std::optional<unsigned> capsLockKey_;
  std::optional<unsigned> shiftKey_;
  std::optional<unsigned> levelThreeKey_;
};

}  // namespace velmora
