#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/log/log.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_key_map.h"

struct _XDisplay;

namespace velmora {

class X11KeyboardSnapshot;

struct X11KeyboardTiming {
  // A spare key code keeps the keysym it was lent this long after its last use: clients look a
  // key up when they read its event, which may be well after it was sent.
  std::chrono::milliseconds spareKeyRestoreDelay{5000};
  // The least time between a spare key's last use and lending it to another keysym.
  std::chrono::milliseconds spareKeyReuseDelay{100};
};

// Key presses and typed text through XTest on a borrowed connection. Keys come as the client's
// macOS key codes and go out as the X key code that carries the same keysym on its first level;
// characters go out through whichever key and level (shift, level three) produces them. What no
// key carries is lent a spare key code (one without keysyms), mapped back to nothing once unused.
// Called on one thread; a thread of its own restores the spare key codes on its own connection,
// since Xlib leaves a connection that lost its server locked to the thread that noticed.
class X11Keyboard {
 public:
  X11Keyboard(_XDisplay* display, X11Connection restorerConnection, X11KeyboardTiming timing);
  ~X11Keyboard();
  X11Keyboard(const X11Keyboard&) = delete;
  X11Keyboard& operator=(const X11Keyboard&) = delete;

  // `flags` are EventFlags bits: modifiers they name that are not held are pressed around the
  // key and released after it. False when no key code can carry the key.
  bool postKey(std::uint16_t macKeyCode, bool down, std::uint64_t flags);
  // Each code point of `text` (UTF-8) in turn, without the modifiers held now and caps lock.
  void typeText(std::string_view text);

  std::size_t spareKeyCount() const;
  std::size_t lentSpareKeyCount() const;

 private:
  struct SpareKey {
    unsigned keyCode = 0;
    X11Keysym keysym = 0;  // 0 while not lent
    std::chrono::steady_clock::time_point lastUsed;
    bool held = false;       // pressed by postKey and not yet released
    bool restoring = false;  // being mapped back to nothing
  };

  std::vector<unsigned> findSpareKeyCodes() const;
  std::optional<unsigned> lendSpareKey(X11Keysym keysym);
  void setSpareKeyHeld(unsigned keyCode, bool held);
  void restoreSpareKeys(_XDisplay* connection);
  void typeCodePoint(const X11KeyboardSnapshot& keyboard, char32_t codePoint);
  void fakeKey(unsigned keyCode, bool down);
  void tapKey(unsigned keyCode);
  // Presses the modifier keys, sends the key's transitions, and releases the modifiers.
  void fakeKeyWithin(const std::vector<unsigned>& modifierKeys, unsigned keyCode, std::initializer_list<bool> downs);

  _XDisplay* const display_;
  const X11KeyboardTiming timing_;
  const log::Logger logger_{"EventInjector"};
  const std::vector<unsigned> spareKeyCodes_;  // sorted

  // The X key code each macOS key code was pressed as; used only on the calling thread.
  std::map<std::uint16_t, unsigned> heldKeys_;

  mutable std::mutex sparesLock_;
  std::condition_variable sparesChanged_;
  std::vector<SpareKey> spares_;
  bool stopping_ = false;
  std::thread restorer_;
};

}  // namespace velmora
