#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/log.h"
#include "platform/result.h"

struct xkb_context;
struct xkb_keymap;
struct xkb_state;
struct zwp_virtual_keyboard_v1;
struct zwp_virtual_keyboard_manager_v1;
struct wl_seat;

namespace velmora {

// Keys and typed text through a virtual keyboard. Keys come as the client's macOS key codes and
// go out as the evdev key at the same place of a keymap built from the environment's XKB settings
// (XKB_DEFAULT_LAYOUT ..., "us" otherwise), or as the key that carries the same keysym where the
// meaning does not depend on the layout. Typed text goes out on a keymap made for it, whose keys
// hold the text's characters, and the normal keymap is put back after: a virtual keyboard's
// keymap travels in order with its keys, so a client always reads a key with the keymap it was
// typed with. The compositor takes modifiers only from the `modifiers` request, so they are
// tracked here with an xkb_state. Used on the connection's thread alone.
class WaylandKeyboard {
  struct PrivateTag {};

 public:
  // Creates the keyboard and uploads the normal keymap at once: a client's first key would
  // otherwise reach a keyboard the compositor has not set up.
  static Result<std::unique_ptr<WaylandKeyboard>> create(zwp_virtual_keyboard_manager_v1* manager, wl_seat* seat);

  struct Keymaps;
  WaylandKeyboard(PrivateTag, zwp_virtual_keyboard_v1* keyboard, std::unique_ptr<Keymaps> keymaps);
  ~WaylandKeyboard();
  WaylandKeyboard(const WaylandKeyboard&) = delete;
  WaylandKeyboard& operator=(const WaylandKeyboard&) = delete;

  // `flags` are EventFlags bits: modifiers they name that are not held are pressed around the key
  // and released after it. False (logged) when the keymap has no key for it.
  bool postKey(std::uint16_t macKeyCode, bool down, std::uint64_t flags);
  // Each code point of `text` (UTF-8) in turn, without modifiers or caps lock.
  void typeText(std::string_view text);

 private:
  std::uint32_t keyCodeFor(std::uint16_t macKeyCode) const;
  // Sends a key of the normal keymap and the modifier state it leaves.
  void sendKey(std::uint32_t xkbKeyCode, bool down);
  void sendModifiers();
  bool uploadKeymap(const std::string& text);
  void typeBatch(const std::vector<std::uint32_t>& keysyms, const std::vector<char32_t>& codePoints);

  const log::Logger logger_{"EventInjector"};
  zwp_virtual_keyboard_v1* const keyboard_;
  const std::unique_ptr<Keymaps> keymaps_;
  // The XKB key code each macOS key code was pressed as.
  std::map<std::uint16_t, std::uint32_t> heldKeys_;
};

}  // namespace velmora
