#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/log.h"
#include "platform/result.h"

struct xkb_context;
struct xkb_keymap;
struct xkb_state;

namespace velmora {

// The host's keyboard as XKB describes it, for backends that send evdev keys: the keymap built
// from the environment's XKB settings (XKB_DEFAULT_LAYOUT ..., "us" otherwise) and what the keys
// sent so far hold down. A client's key goes out as the key at the same place of that keymap, or
// as the key that carries the same keysym where the meaning does not depend on the layout.
// Used on one thread.
class XkbKeyPresser {
  struct PrivateTag {};

 public:
  // Called for each key to send, after the state has taken it. XKB key codes are evdev codes + 8.
  using KeySender = std::function<void(std::uint32_t xkbKeyCode, bool down)>;

  static Result<std::unique_ptr<XkbKeyPresser>> create();
  struct Parts;
  XkbKeyPresser(PrivateTag, std::unique_ptr<Parts> parts);
  ~XkbKeyPresser();
  XkbKeyPresser(const XkbKeyPresser&) = delete;
  XkbKeyPresser& operator=(const XkbKeyPresser&) = delete;

  // `flags` are EventFlags bits: modifiers they name that are not held are pressed around the key
  // and released after it. False (logged) when the keymap has no key for it.
  bool postKey(std::uint16_t macKeyCode, bool down, std::uint64_t flags, const KeySender& send);
  // Releases every key still down: one left down would repeat on the host.
  void releaseHeldKeys(const KeySender& send);
  // The XKB key code at the client key's place, where the layout gives that place a keysym.
  std::optional<std::uint32_t> keyAtPlace(std::uint16_t macKeyCode) const;
  // Whether the keymap's first layout holds `keysym` on a level that Shift or AltGr reach.
  bool typesKeysym(std::uint32_t keysym) const;
  // The keysyms that type `text` (UTF-8) on this keymap, one per code point it holds; the code
  // points it lacks are logged once for the whole text ("Cannot type these characters: ...").
  std::vector<std::uint32_t> typableKeysyms(std::string_view text) const;
  // Taps the key that holds `keysym`, with Shift or AltGr around it where its level needs them,
  // for a desktop that takes only key codes. False when no key holds it.
  bool typeKeysym(std::uint32_t keysym, const KeySender& send);

  xkb_context* context() const;
  xkb_state* state() const;
  // The keymap as XKB text, as a compositor takes it.
  const std::string& keymapText() const;

 private:
  std::uint32_t keyCodeFor(std::uint16_t macKeyCode) const;
  void sendKey(std::uint32_t xkbKeyCode, bool down, const KeySender& send);

  const log::Logger logger_{"EventInjector"};
  const std::unique_ptr<Parts> parts_;
  // The XKB key code each macOS key code was pressed as.
  std::map<std::uint16_t, std::uint32_t> heldKeys_;
};

}  // namespace velmora
