#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/log.h"
#include "platform/result.h"
#include "platform/desktop/xkb_key_presser.h"

struct zwp_virtual_keyboard_v1;
struct zwp_virtual_keyboard_manager_v1;
struct wl_seat;

namespace velmora {

// Keys and typed text through a virtual keyboard. Keys go out as XkbKeyPresser places them, on
// its keymap. Typed text goes out on a keymap made for it, whose keys hold the text's characters,
// and the normal keymap is put back after: a virtual keyboard's keymap travels in order with its
// keys, so a client always reads a key with the keymap it was typed with. The compositor takes
// modifiers only from the `modifiers` request, so they are sent from the presser's state. Used on
// the connection's thread alone.
class WaylandKeyboard {
  struct PrivateTag {};

 public:
  // Creates the keyboard and uploads the normal keymap at once: a client's first key would
  // otherwise reach a keyboard the compositor has not set up.
  static Result<std::unique_ptr<WaylandKeyboard>> create(zwp_virtual_keyboard_manager_v1* manager, wl_seat* seat);

  WaylandKeyboard(PrivateTag, zwp_virtual_keyboard_v1* keyboard, std::unique_ptr<XkbKeyPresser> presser);
  ~WaylandKeyboard();
  WaylandKeyboard(const WaylandKeyboard&) = delete;
  WaylandKeyboard& operator=(const WaylandKeyboard&) = delete;

  // `flags` are EventFlags bits: modifiers they name that are not held are pressed around the key
  // and released after it. False (logged) when the keymap has no key for it.
  bool postKey(std::uint16_t macKeyCode, bool down, std::uint64_t flags);
  // Each code point of `text` (UTF-8) in turn, without modifiers or caps lock.
  void typeText(std::string_view text);

 private:
  // Sends a key of the normal keymap and the modifier state it leaves.
  void sendKey(std::uint32_t xkbKeyCode, bool down);
  void sendModifiers();
  bool uploadKeymap(const std::string& text);
  void typeBatch(const std::vector<std::uint32_t>& keysyms, const std::vector<char32_t>& codePoints);

  const log::Logger logger_{"EventInjector"};
  zwp_virtual_keyboard_v1* const keyboard_;
  const std::unique_ptr<XkbKeyPresser> presser_;
};

}  // namespace velmora
