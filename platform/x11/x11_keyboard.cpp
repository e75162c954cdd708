#include "platform/x11/x11_keyboard.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "platform/input_backend.h"
#include "platform/released_pointer.h"
#include "platform/x11/x11_keyboard_snapshot.h"

namespace velmora {
namespace {

void freeKeysyms(KeySym* keysyms) { XFree(keysyms); }
void freeKeyboard(XkbDescPtr keyboard) { XkbFreeKeyboard(keyboard, 0, True); }

// The key at the place that XKB calls `name`, where the layout gives it a keysym; none without XKB.
std::optional<std::uint32_t> readKeyAtPlace(Display* display, std::string_view name) {
  const ReleasedPointer<XkbDescRec, freeKeyboard> keyboard(name.empty() ? nullptr : XkbGetMap(display, 0, XkbUseCoreKbd));
  if (!keyboard || XkbGetNames(display, XkbKeyNamesMask, keyboard.get()) != Success || keyboard->names == nullptr ||
      keyboard->names->keys == nullptr) {
    return std::nullopt;
  }
  for (int code = keyboard->min_key_code; code <= keyboard->max_key_code; ++code) {
    const char* keyName = keyboard->names->keys[code].name;
    if (std::string_view(keyName, strnlen(keyName, XkbKeyNameLength)) == name &&
        XkbKeycodeToKeysym(display, static_cast<KeyCode>(code), 0, 0) != NoSymbol) {
      return static_cast<std::uint32_t>(code);
    }
  }
  return std::nullopt;
}

// Where the focused client cannot be asked whether it has read a keymap change: a moment for it to.
constexpr std::chrono::milliseconds kUnconfirmedKeymapSettle{20};

X11Connection watchingKeymap(X11Connection connection) {
  int opcode = 0;
  int eventBase = 0;
  int errorBase = 0;
  int major = XkbMajorVersion;
  int minor = XkbMinorVersion;
  constexpr unsigned long kChanges = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
  if (!connection || !XkbQueryExtension(connection.get(), &opcode, &eventBase, &errorBase, &major, &minor) ||
      !XkbSelectEvents(connection.get(), XkbUseCoreKbd, kChanges, kChanges)) {
    return {};
  }
  return connection;
}

}  // namespace

X11Keyboard::X11Keyboard(_XDisplay* display, X11Connection restorerConnection, X11Connection keymapWatch,
                         X11KeyboardTiming timing)
    : display_(display),
      timing_(timing),
      spareKeyCodes_(findSpareKeyCodes()),
      pinger_(timing.pingTimeout),
      keymapWatch_(watchingKeymap(std::move(keymapWatch))) {
  for (const unsigned keyCode : spareKeyCodes_) {
    SpareKey spare;
    spare.keyCode = keyCode;
    spares_.push_back(spare);
  }
  // The connection is used and closed on the restorer's thread alone.
  restorer_ = std::thread([this, connection = std::move(restorerConnection)]() mutable {
    restoreSpareKeys(connection.get());
    connection.reset();
  });
}

X11Keyboard::~X11Keyboard() {
  // A key left down would repeat on the host until someone pressed it again.
  for (const auto& [macKeyCode, keyCode] : heldKeys_) {
    fakeKey(keyCode, false);
  }
  XSync(display_, True);
  {
    std::lock_guard lock(sparesLock_);
    stopping_ = true;
  }
  sparesChanged_.notify_all();
  restorer_.join();
}

std::vector<unsigned> X11Keyboard::findSpareKeyCodes() const {
  const X11KeyboardSnapshot keyboard(display_, {});
  int firstKeyCode = 0;
  int lastKeyCode = 0;
  XDisplayKeycodes(display_, &firstKeyCode, &lastKeyCode);
  int perKeyCode = 0;
  const ReleasedPointer<KeySym, freeKeysyms> keysyms(
      XGetKeyboardMapping(display_, static_cast<KeyCode>(firstKeyCode), lastKeyCode - firstKeyCode + 1, &perKeyCode));
  std::vector<unsigned> spare;
  for (int keyCode = firstKeyCode; keysyms && keyCode <= lastKeyCode; ++keyCode) {
    const KeySym* first = keysyms.get() + (keyCode - firstKeyCode) * perKeyCode;
    const bool empty = std::all_of(first, first + perKeyCode, [](KeySym keysym) { return keysym == NoSymbol; });
    if (empty && keyboard.modifierRowOf(static_cast<unsigned>(keyCode)) < 0) {
      spare.push_back(static_cast<unsigned>(keyCode));
    }
  }
  return spare;
}

bool X11Keyboard::keymapChanged() {
  if (!keymapWatch_ || x11ConnectionLost(keymapWatch_.get())) {
    return true;
  }
  // After the round trip every change made before it has its event here: the watch selects nothing else.
  XSync(keymapWatch_.get(), False);
  bool changed = false;
  while (XPending(keymapWatch_.get()) > 0) {
    XEvent event;
    XNextEvent(keymapWatch_.get(), &event);
    changed = true;
  }
  return changed;
}

const X11KeyboardSnapshot& X11Keyboard::currentKeyboard() {
  const bool changed = keymapChanged();
  if (changed) {
    keysAtPlaces_.clear();
  }
  if (changed || !keyboard_ || !keyboard_->refreshState(display_)) {
    keyboard_.emplace(display_, spareKeyCodes_);
  }
  return *keyboard_;
}

std::optional<std::uint32_t> X11Keyboard::keyAtPlace(std::string_view place) {
  auto found = keysAtPlaces_.find(place);
  if (found == keysAtPlaces_.end()) {
    found = keysAtPlaces_.emplace(std::string(place), readKeyAtPlace(display_, place)).first;
  }
  return found->second;
}

bool X11Keyboard::postKey(std::uint16_t macKeyCode, bool down, std::uint64_t flags) {
  const X11Keysym keysym = keysymForMacKeyCode(macKeyCode);
  if (keysym == 0) {
    return false;
  }
  const X11KeyboardSnapshot& keyboard = currentKeyboard();
  std::optional<unsigned> keyCode;
  if (const auto held = heldKeys_.find(macKeyCode); !down && held != heldKeys_.end()) {
    keyCode = held->second;
  } else if (const auto hostKey = hostKeyForMacKeyCode(
                 macKeyCode, {[this](std::string_view place) { return keyAtPlace(place); },
                              [&keyboard](X11Keysym onFirstLevel) { return keyboard.keyOnFirstLevel(onFirstLevel); }})) {
    keyCode = hostKey;
  } else {
    const std::uint64_t usesBefore = currentUses();
    const auto spare = lendSpareKey(keysym, true);
    keyCode = spare.keyCode;
    if (spare.remapped) {
      awaitKeymapRead(usesBefore);
    }
  }
  if (!keyCode) {
    logger_.error("No key code is free to carry keysym 0x{:X} (keyCode={})", keysym, macKeyCode);
    return false;
  }

  // A modifier key's own event does not get its modifier pressed around it.
  const int ownRow = keyboard.modifierRowOf(*keyCode);
  std::vector<unsigned> pressedAround;
  for (const auto& modifier : kFlagModifiers) {
    const auto modifierKey = (flags & modifier.flag) != 0 ? keyboard.keyOnFirstLevel(modifier.left) : std::nullopt;
    if (!modifierKey || *modifierKey == *keyCode) {
      continue;
    }
    const int row = keyboard.modifierRowOf(*modifierKey);
    const bool held = row >= 0 ? (row == ownRow || keyboard.modifierHeld(row)) : keyboard.isDown(*modifierKey);
    if (!held) {
      pressedAround.push_back(*modifierKey);
    }
  }
  const auto capsLockKey = keyboard.capsLockKey();
  const bool lockAround = (flags & EventFlags::alphaShift) != 0 && !keyboard.capsLocked() && capsLockKey && *capsLockKey != *keyCode;

  if (lockAround) {
    tapKey(*capsLockKey);
  }
  fakeKeyWithin(pressedAround, *keyCode, {down});
  if (lockAround) {
    tapKey(*capsLockKey);
  }
  XSync(display_, True);

  if (down) {
    heldKeys_[macKeyCode] = *keyCode;
    setSpareKeyHeld(*keyCode, true);
  } else {
    heldKeys_.erase(macKeyCode);
    const bool stillHeld = std::any_of(heldKeys_.begin(), heldKeys_.end(), [&](const auto& held) { return held.second == *keyCode; });
    if (!stillHeld) {
      setSpareKeyHeld(*keyCode, false);
    }
  }
  noteUsesSent();
  return true;
}

void X11Keyboard::typeText(std::string_view text) {
  const auto codePoints = codePointsOf(text);
  if (codePoints.empty()) {
    return;
  }
  const X11KeyboardSnapshot& keyboard = currentKeyboard();
  const auto heldModifiers = keyboard.heldModifierKeys();
  const auto capsLockKey = keyboard.capsLocked() ? keyboard.capsLockKey() : std::nullopt;
  for (const unsigned keyCode : heldModifiers) {
    fakeKey(keyCode, false);
  }
  if (capsLockKey) {
    tapKey(*capsLockKey);
  }
  // In runs: the keys for as many coming characters as need no key re-pointed before its client
  // has read it are lent first, then the client is made to read the new keysyms (some toolkits
  // translate a key event when they take it in, with the keymap of the last change they handled),
  // then the run is typed.
  for (std::size_t next = 0; next < codePoints.size();) {
    const std::uint64_t usesBefore = currentUses();
    std::vector<X11KeyStroke> run;
    bool remapped = false;
    for (std::size_t index = next; index < codePoints.size(); ++index) {
      const auto step = planCodePoint(keyboard, codePoints[index], index == next, remapped);
      if (!step) {
        break;
      }
      run.push_back(*step);
    }
    if (remapped) {
      awaitKeymapRead(usesBefore);
    }
    for (const auto& stroke : run) {
      if (stroke.keyCode != 0) {
        fakeKeyWithin(modifierKeysFor(keyboard, stroke), stroke.keyCode, {true, false});
      }
    }
    next += run.size();
  }
  if (capsLockKey) {
    tapKey(*capsLockKey);
  }
  for (const unsigned keyCode : heldModifiers) {
    fakeKey(keyCode, true);
  }
  XSync(display_, True);
  noteUsesSent();
}

std::optional<X11KeyStroke> X11Keyboard::planCodePoint(const X11KeyboardSnapshot& keyboard, char32_t codePoint, bool mayWait,
                                                      bool& remapped) {
  const auto keysyms = keysymsForCodePoint(codePoint);
  if (keysyms.empty()) {
    logger_.notice("Cannot type U+{:04X}: no keysym stands for it", static_cast<std::uint32_t>(codePoint));
    return X11KeyStroke{};
  }
  for (const X11Keysym keysym : keysyms) {
    if (const auto stroke = keyboard.find(keysym)) {
      return stroke;
    }
  }
  const auto spare = lendSpareKey(keysyms.front(), mayWait);
  if (spare.deferred) {
    return std::nullopt;
  }
  if (!spare.keyCode) {
    logger_.error("Cannot type U+{:04X}: no spare key code is free", static_cast<std::uint32_t>(codePoint));
    return X11KeyStroke{};
  }
  remapped = remapped || spare.remapped;
  return X11KeyStroke{*spare.keyCode, 0};
}

std::vector<unsigned> X11Keyboard::modifierKeysFor(const X11KeyboardSnapshot& keyboard, const X11KeyStroke& stroke) {
  std::vector<unsigned> modifierKeys;
  if ((stroke.modifiers & X11KeyStroke::kShiftLevel) != 0 && keyboard.shiftKey()) {
    modifierKeys.push_back(*keyboard.shiftKey());
  }
  if ((stroke.modifiers & X11KeyStroke::kLevelThree) != 0 && keyboard.levelThreeKey()) {
    modifierKeys.push_back(*keyboard.levelThreeKey());
  }
  return modifierKeys;
}

void X11Keyboard::awaitKeymapRead(std::uint64_t usesBefore) {
  if (!confirmUsesRead(display_, pinger_, usesBefore)) {
    std::this_thread::sleep_for(kUnconfirmedKeymapSettle);
  }
}

std::uint64_t X11Keyboard::currentUses() const {
  std::lock_guard lock(sparesLock_);
  return uses_;
}

std::size_t X11Keyboard::spareKeyCount() const { return spareKeyCodes_.size(); }

std::size_t X11Keyboard::lentSpareKeyCount() const {
  std::lock_guard lock(sparesLock_);
  return static_cast<std::size_t>(
      std::count_if(spares_.begin(), spares_.end(), [](const SpareKey& spare) { return spare.keysym != 0 || spare.restoring; }));
}

X11Keyboard::SpareLoan X11Keyboard::lendSpareKey(X11Keysym keysym, bool mayWait) {
  bool pingFailed = false;
  while (true) {
    std::unique_lock lock(sparesLock_);
    const auto lent = std::find_if(spares_.begin(), spares_.end(),
                                   [&](const SpareKey& spare) { return spare.keysym == keysym && !spare.restoring; });
    if (lent != spares_.end()) {
      markUsed(*lent);
      return {lent->keyCode};
    }
    auto chosen = std::find_if(spares_.begin(), spares_.end(),
                               [](const SpareKey& spare) { return spare.keysym == 0 && !spare.restoring; });
    if (chosen == spares_.end()) {
      // All are lent: take the one unused longest, once its client has read its last use.
      for (auto spare = spares_.begin(); spare != spares_.end(); ++spare) {
        if (!spare->held && !spare->restoring && (chosen == spares_.end() || spare->lastUse < chosen->lastUse)) {
          chosen = spare;
        }
      }
      if (chosen == spares_.end()) {
        return {};
      }
      if (chosen->lastUse > usesConfirmed_ && !mayWait) {
        return {std::nullopt, false, true};
      }
      if (chosen->lastUse > usesConfirmed_ && !pingFailed) {
        const std::uint64_t through = uses_;
        lock.unlock();
        // Every use so far went out on this connection before the ping, so one answer covers them all.
        pingFailed = !confirmUsesRead(display_, pinger_, through);
        continue;
      }
      if (const auto wait = chosen->lastUsedAt + timing_.spareKeyReuseDelay - Clock::now();
          chosen->lastUse > usesConfirmed_ && wait > Clock::duration::zero()) {
        lock.unlock();
        std::this_thread::sleep_for(wait);
        continue;
      }
    }
    chosen->keysym = keysym;
    markUsed(*chosen);
    const unsigned keyCode = chosen->keyCode;
    lock.unlock();
    sparesChanged_.notify_all();
    // Both levels, so that an upper-case letter is not turned into its lower case.
    std::array<KeySym, 2> keysyms = {keysym, keysym};
    XChangeKeyboardMapping(display_, static_cast<int>(keyCode), static_cast<int>(keysyms.size()), keysyms.data(), 1);
    return {keyCode, true};
  }
}

void X11Keyboard::markUsed(SpareKey& spare) {
  spare.lastUse = ++uses_;
  spare.lastUsedAt = std::max(spare.lastUsedAt, Clock::now());
}

bool X11Keyboard::confirmUsesRead(_XDisplay* connection, X11FocusPinger& pinger, std::uint64_t through) {
  const auto outcome = pinger.ping(connection);
  if (outcome == FocusPingOutcome::timedOut) {
    logger_.notice("The focused client did not answer a ping within {} ms; spare keys are reused after a delay",
                   timing_.pingTimeout.count());
  }
  if (outcome != FocusPingOutcome::answered) {
    return false;
  }
  std::lock_guard lock(sparesLock_);
  usesConfirmed_ = std::max(usesConfirmed_, through);
  return true;
}

void X11Keyboard::noteUsesSent() {
  std::lock_guard lock(sparesLock_);
  usesSent_ = uses_;
}

void X11Keyboard::setSpareKeyHeld(unsigned keyCode, bool held) {
  {
    std::lock_guard lock(sparesLock_);
    const auto spare = std::find_if(spares_.begin(), spares_.end(), [&](const SpareKey& key) { return key.keyCode == keyCode; });
    if (spare == spares_.end()) {
      return;
    }
    spare->held = held;
    markUsed(*spare);
  }
  sparesChanged_.notify_all();
}

void X11Keyboard::restoreSpareKeys(_XDisplay* connection) {
  X11FocusPinger pinger(timing_.pingTimeout);
  std::unique_lock lock(sparesLock_);
  while (true) {
    // On the way out every lent key goes back, held or not: held keys were released by then.
    const bool stopping = stopping_;
    const auto now = Clock::now();
    std::optional<Clock::time_point> nextDeadline;
    std::vector<SpareKey*> due;
    for (auto& spare : spares_) {
      if (spare.keysym == 0 || spare.restoring || (spare.held && !stopping)) {
        continue;
      }
      const auto deadline = spare.lastUsedAt + timing_.spareKeyRestoreDelay;
      if (stopping || deadline <= now) {
        due.push_back(&spare);
      } else if (!nextDeadline || deadline < *nextDeadline) {
        nextDeadline = deadline;
      }
    }
    const bool unread = std::any_of(due.begin(), due.end(), [&](const SpareKey* spare) { return spare->lastUse > usesConfirmed_; });
    if (unread && !stopping && usesSent_ >= uses_) {
      // A client slower than the delay still reads the keysym it was typed with; one that answers
      // no pings has had the delay.
      const std::uint64_t through = usesSent_;
      lock.unlock();
      if (!confirmUsesRead(connection, pinger, through)) {
        lock.lock();
        usesConfirmed_ = std::max(usesConfirmed_, through);
      } else {
        lock.lock();
      }
      continue;
    }
    if (!due.empty() && (!unread || stopping)) {
      std::vector<unsigned> keyCodes;
      for (SpareKey* spare : due) {
        spare->keysym = 0;
        spare->restoring = true;
        keyCodes.push_back(spare->keyCode);
      }
      lock.unlock();
      for (const unsigned keyCode : keyCodes) {
        KeySym nothing = NoSymbol;
        XChangeKeyboardMapping(connection, static_cast<int>(keyCode), 1, &nothing, 1);
      }
      // Only once the server has carried the restore out may the key be lent again.
      XSync(connection, True);
      lock.lock();
      for (auto& spare : spares_) {
        if (std::find(keyCodes.begin(), keyCodes.end(), spare.keyCode) != keyCodes.end()) {
          spare.restoring = false;
        }
      }
      continue;
    }
    if (stopping) {
      return;
    }
    if (!due.empty()) {
      // Uses are still on their way to the server: look again shortly.
      nextDeadline = now + std::chrono::milliseconds(50);
    }
    if (nextDeadline) {
      sparesChanged_.wait_until(lock, *nextDeadline);
    } else {
      sparesChanged_.wait(lock);
    }
  }
}

void X11Keyboard::fakeKey(unsigned keyCode, bool down) {
  XTestFakeKeyEvent(display_, keyCode, down ? True : False, CurrentTime);
  XFlush(display_);
}

void X11Keyboard::tapKey(unsigned keyCode) {
  fakeKey(keyCode, true);
  fakeKey(keyCode, false);
}

void X11Keyboard::fakeKeyWithin(const std::vector<unsigned>& modifierKeys, unsigned keyCode, std::initializer_list<bool> downs) {
  for (const unsigned modifierKey : modifierKeys) {
    fakeKey(modifierKey, true);
  }
  for (const bool down : downs) {
    fakeKey(keyCode, down);
  }
  for (auto modifierKey = modifierKeys.rbegin(); modifierKey != modifierKeys.rend(); ++modifierKey) {
    fakeKey(*modifierKey, false);
  }
}

}  // namespace velmora
