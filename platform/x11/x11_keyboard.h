#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/log/log.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_focus_ping.h"
#include "platform/desktop/mac_key_map.h"
#include "platform/x11/x11_keyboard_snapshot.h"

struct _XDisplay;

namespace velmora {

struct X11KeyboardTiming {
  // A spare key code keeps the keysym it was lent this long after its last use.
  std::chrono::milliseconds spareKeyRestoreDelay{5000};
  // How long the client with the focus may take to answer a ping before it is taken for hung.
  std::chrono::milliseconds pingTimeout{3000};
  // Where the focused client answers no pings: the least time between a spare key's last use and
  // lending it to another keysym.
  std::chrono::milliseconds spareKeyReuseDelay{1000};
};

// Key presses and typed text through XTest on a borrowed connection. Keys come as the client's
// macOS key codes and go out as the X key code that carries the same keysym on its first level;
// characters go out through whichever key and level (shift, level three) produces them. What no
// key carries is lent a spare key code (one without keysyms), mapped back to nothing once unused.
// Clients translate a key event with the keymap they hold when they read it, which is the
// server's newest once they have seen a keymap change. So a spare key is given another keysym (or
// none) only once the focused client has answered a ping sent after the key's last use, which
// proves it has read every event typed with the old keysym; a client that answers no pings gets
// a delay instead.
// The keymap is read once and again only after a change, which XKB tells on a connection of its
// own: the focus pinger drops the events of the calling connection.
// Called on one thread; a thread of its own restores the spare key codes on its own connection,
// since Xlib leaves a connection that lost its server locked to the thread that noticed.
class X11Keyboard {
 public:
  X11Keyboard(_XDisplay* display, X11Connection restorerConnection, X11Connection keymapWatch, X11KeyboardTiming timing);
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
  using Clock = std::chrono::steady_clock;
  struct SpareKey {
    unsigned keyCode = 0;
    X11Keysym keysym = 0;  // 0 while not lent
    std::uint64_t lastUse = 0;  // a number from uses_
    Clock::time_point lastUsedAt;
    bool held = false;       // pressed by postKey and not yet released
    bool restoring = false;  // being mapped back to nothing
  };

  std::vector<unsigned> findSpareKeyCodes() const;
  // The keyboard now, its keymap read again only where it changed since the last call.
  const X11KeyboardSnapshot& currentKeyboard();
  bool keymapChanged();
  std::optional<std::uint32_t> keyAtPlace(std::string_view place);
  struct SpareLoan {
    std::optional<unsigned> keyCode;  // none when every spare key is held
    bool remapped = false;            // the key was given the keysym now
    bool deferred = false;            // it could be had only after a wait, which was not allowed
  };
  // A spare key carrying `keysym`: the one lent to it already, a free one, or the one unused
  // longest once its client has read its last use (waiting for that where `mayWait`).
  SpareLoan lendSpareKey(X11Keysym keysym, bool mayWait);
  void setSpareKeyHeld(unsigned keyCode, bool held);
  void markUsed(SpareKey& spare);
  // Pings the focused client; true when it answered, and every use up to `through` is then known
  // to be read.
  bool confirmUsesRead(_XDisplay* connection, X11FocusPinger& pinger, std::uint64_t through);
  void noteUsesSent();
  void restoreSpareKeys(_XDisplay* connection);
  // The stroke that types `codePoint` (key code 0 where nothing can), lending a spare key if
  // needed; nullopt where that needs a wait and `mayWait` is false.
  std::optional<X11KeyStroke> planCodePoint(const X11KeyboardSnapshot& keyboard, char32_t codePoint, bool mayWait,
                                            bool& remapped);
  static std::vector<unsigned> modifierKeysFor(const X11KeyboardSnapshot& keyboard, const X11KeyStroke& stroke);
  // Waits until the focused client has taken in the keymap changes made so far.
  void awaitKeymapRead(std::uint64_t usesBefore);
  std::uint64_t currentUses() const;
  void fakeKey(unsigned keyCode, bool down);
  void tapKey(unsigned keyCode);
  // Presses the modifier keys, sends the key's transitions, and releases the modifiers.
  void fakeKeyWithin(const std::vector<unsigned>& modifierKeys, unsigned keyCode, std::initializer_list<bool> downs);

  _XDisplay* const display_;
  const X11KeyboardTiming timing_;
  const log::Logger logger_{"EventInjector"};
  const std::vector<unsigned> spareKeyCodes_;  // sorted
  X11FocusPinger pinger_;  // on display_
  // Selects XKB's keymap changes; null where the server cannot tell of them. Calling thread only.
  X11Connection keymapWatch_;
  std::optional<X11KeyboardSnapshot> keyboard_;
  std::map<std::string, std::optional<std::uint32_t>, std::less<>> keysAtPlaces_;

  // The X key code each macOS key code was pressed as; used only on the calling thread.
  std::map<std::uint16_t, unsigned> heldKeys_;

  mutable std::mutex sparesLock_;
  std::condition_variable sparesChanged_;
  std::vector<SpareKey> spares_;
  std::uint64_t uses_ = 0;           // uses of spare keys so far, numbered
  std::uint64_t usesSent_ = 0;       // those the server has carried out
  std::uint64_t usesConfirmed_ = 0;  // those the focused client has read
  bool stopping_ = false;
  std::thread restorer_;
};

}  // namespace velmora
