#include "platform/desktop/xkb_key_presser.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

#include "platform/desktop/mac_key_map.h"
#include "platform/input_backend.h"
#include "platform/released_pointer.h"

namespace velmora {
namespace {

// Levels that a compositor reaches for a keysym on its own: none, Shift, AltGr.
constexpr xkb_level_index_t kTypedLevels = 3;

using ContextPointer = ReleasedPointer<xkb_context, xkb_context_unref>;
using KeymapPointer = ReleasedPointer<xkb_keymap, xkb_keymap_unref>;
using StatePointer = ReleasedPointer<xkb_state, xkb_state_unref>;

xkb_keysym_t firstLevelKeysym(xkb_keymap* keymap, xkb_keycode_t keyCode) {
  const xkb_keysym_t* keysyms = nullptr;
  return xkb_keymap_key_get_syms_by_level(keymap, keyCode, 0, 0, &keysyms) > 0 ? keysyms[0] : XKB_KEY_NoSymbol;
}

xkb_keycode_t keyOnFirstLevel(xkb_keymap* keymap, xkb_keysym_t keysym) {
  for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap); ++code) {
    if (firstLevelKeysym(keymap, code) == keysym) {
      return code;
    }
  }
  return XKB_KEYCODE_INVALID;
}

}  // namespace

struct XkbKeyPresser::Parts {
  ContextPointer context;
  KeymapPointer keymap;
  StatePointer state;  // what the keys sent so far have done
  std::string text;

  // The modifier bits that pressing `keyCode` sets.
  xkb_mod_mask_t modifiersOf(xkb_keycode_t keyCode) const {
    const StatePointer scratch(xkb_state_new(keymap.get()));
    xkb_state_update_key(scratch.get(), keyCode, XKB_KEY_DOWN);
    return xkb_state_serialize_mods(scratch.get(), XKB_STATE_MODS_DEPRESSED);
  }
};

Result<std::unique_ptr<XkbKeyPresser>> XkbKeyPresser::create() {
  using Failure = Result<std::unique_ptr<XkbKeyPresser>>;
  auto parts = std::make_unique<Parts>();
  parts->context.reset(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
  // No names: libxkbcommon takes XKB_DEFAULT_RULES, _MODEL, _LAYOUT ... and falls back to evdev, us.
  if (parts->context) {
    parts->keymap.reset(xkb_keymap_new_from_names(parts->context.get(), nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS));
  }
  if (!parts->keymap) {
    return Failure::failure("cannot build a keymap with libxkbcommon: are the XKB files (xkb-data) installed?");
  }
  parts->state.reset(xkb_state_new(parts->keymap.get()));
  const ReleasedPointer<char, ::free> text(xkb_keymap_get_as_string(parts->keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1));
  parts->text = text ? std::string(text.get()) : std::string();
  return std::make_unique<XkbKeyPresser>(PrivateTag{}, std::move(parts));
}

XkbKeyPresser::XkbKeyPresser(PrivateTag, std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}
XkbKeyPresser::~XkbKeyPresser() = default;

xkb_context* XkbKeyPresser::context() const { return parts_->context.get(); }
xkb_state* XkbKeyPresser::state() const { return parts_->state.get(); }
const std::string& XkbKeyPresser::keymapText() const { return parts_->text; }

std::optional<std::uint32_t> XkbKeyPresser::keyAtPlace(std::uint16_t macKeyCode) const {
  xkb_keymap* keymap = parts_->keymap.get();
  const std::string place(xkbKeyNameForMacKeyCode(macKeyCode));
  const xkb_keycode_t atPlace = place.empty() ? XKB_KEYCODE_INVALID : xkb_keymap_key_by_name(keymap, place.c_str());
  if (atPlace == XKB_KEYCODE_INVALID || firstLevelKeysym(keymap, atPlace) == XKB_KEY_NoSymbol) {
    return std::nullopt;
  }
  return atPlace;
}

std::uint32_t XkbKeyPresser::keyCodeFor(std::uint16_t macKeyCode) const {
  xkb_keymap* keymap = parts_->keymap.get();
  const HostKeyLookup lookup{
      [this, macKeyCode](std::string_view) { return keyAtPlace(macKeyCode); },
      [keymap](X11Keysym keysym) -> std::optional<std::uint32_t> {
        const xkb_keycode_t code = keyOnFirstLevel(keymap, keysym);
        return code != XKB_KEYCODE_INVALID ? std::optional<std::uint32_t>(code) : std::nullopt;
      }};
  return hostKeyForMacKeyCode(macKeyCode, lookup).value_or(XKB_KEYCODE_INVALID);
}

bool XkbKeyPresser::typesKeysym(std::uint32_t keysym) const {
  xkb_keymap* keymap = parts_->keymap.get();
  for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap); ++code) {
    for (xkb_level_index_t level = 0; level < kTypedLevels; ++level) {
      const xkb_keysym_t* keysyms = nullptr;
      const int count = xkb_keymap_key_get_syms_by_level(keymap, code, 0, level, &keysyms);
      if (count == 1 && keysyms[0] == keysym) {
        return true;
      }
    }
  }
  return false;
}

std::vector<std::uint32_t> XkbKeyPresser::typableKeysyms(std::string_view text) const {
  std::vector<std::uint32_t> keysyms;
  std::string untyped;
  for (const char32_t codePoint : codePointsOf(text)) {
    const auto candidates = keysymsForCodePoint(codePoint);
    const auto typed = std::find_if(candidates.begin(), candidates.end(),
                                    [this](X11Keysym keysym) { return typesKeysym(keysym); });
    if (typed != candidates.end()) {
      keysyms.push_back(*typed);
    } else {
      untyped += fmt::format("{}U+{:04X}", untyped.empty() ? "" : " ", static_cast<std::uint32_t>(codePoint));
    }
  }
  if (!untyped.empty()) {
    logger_.error("Cannot type these characters: the desktop's keyboard layout lacks them: {}", untyped);
  }
  return keysyms;
}

bool XkbKeyPresser::typeKeysym(std::uint32_t keysym, const KeySender& send) {
  xkb_keymap* keymap = parts_->keymap.get();
  const std::array<xkb_keycode_t, 2> modifierKeys{keyOnFirstLevel(keymap, XKB_KEY_Shift_L),
                                                  keyOnFirstLevel(keymap, XKB_KEY_ISO_Level3_Shift)};
  for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap); ++code) {
    for (xkb_level_index_t level = 0; level < kTypedLevels; ++level) {
      const xkb_keysym_t* keysyms = nullptr;
      if (xkb_keymap_key_get_syms_by_level(keymap, code, 0, level, &keysyms) != 1 || keysyms[0] != keysym) {
        continue;
      }
      std::array<xkb_mod_mask_t, 4> masks{};
      const std::size_t maskCount = xkb_keymap_key_get_mods_for_level(keymap, code, 0, level, masks.data(), masks.size());
      for (std::size_t index = 0; index < maskCount; ++index) {
        // The level's modifiers from Shift and AltGr keys, or another way to reach it.
        std::vector<xkb_keycode_t> around;
        xkb_mod_mask_t covered = 0;
        for (const xkb_keycode_t modifierKey : modifierKeys) {
          const xkb_mod_mask_t modifiers =
              modifierKey != XKB_KEYCODE_INVALID ? parts_->modifiersOf(modifierKey) : xkb_mod_mask_t{0};
          if (modifiers != 0 && (modifiers & masks[index]) == modifiers) {
            around.push_back(modifierKey);
            covered |= modifiers;
          }
        }
        if (covered != masks[index]) {
          continue;
        }
        for (const xkb_keycode_t modifierKey : around) {
          sendKey(modifierKey, true, send);
        }
        sendKey(code, true, send);
        sendKey(code, false, send);
        for (auto modifierKey = around.rbegin(); modifierKey != around.rend(); ++modifierKey) {
          sendKey(*modifierKey, false, send);
        }
        return true;
      }
    }
  }
  return false;
}

bool XkbKeyPresser::postKey(std::uint16_t macKeyCode, bool down, std::uint64_t flags, const KeySender& send) {
  std::uint32_t keyCode = XKB_KEYCODE_INVALID;
  if (const auto held = heldKeys_.find(macKeyCode); !down && held != heldKeys_.end()) {
    keyCode = held->second;
  } else {
    keyCode = keyCodeFor(macKeyCode);
  }
  if (keyCode == XKB_KEYCODE_INVALID) {
    logger_.error("The keymap has no key for keysym 0x{:X} (keyCode={})", keysymForMacKeyCode(macKeyCode), macKeyCode);
    return false;
  }

  xkb_keymap* keymap = parts_->keymap.get();
  xkb_state* state = parts_->state.get();
  const xkb_mod_mask_t active = xkb_state_serialize_mods(state, XKB_STATE_MODS_EFFECTIVE);
  const xkb_mod_mask_t ownModifiers = parts_->modifiersOf(keyCode);
  std::vector<xkb_keycode_t> pressedAround;
  for (const auto& modifier : kFlagModifiers) {
    const xkb_keycode_t modifierKey =
        (flags & modifier.flag) != 0 ? keyOnFirstLevel(keymap, modifier.left) : XKB_KEYCODE_INVALID;
    if (modifierKey == XKB_KEYCODE_INVALID || modifierKey == keyCode) {
      continue;
    }
    const xkb_mod_mask_t modifiers = parts_->modifiersOf(modifierKey);
    // A modifier key's own event does not get its modifier pressed around it.
    if ((modifiers & ~(active | ownModifiers)) != 0) {
      pressedAround.push_back(modifierKey);
    }
  }
  const xkb_keycode_t capsLockKey = keyOnFirstLevel(keymap, XKB_KEY_Caps_Lock);
  const bool lockAround = (flags & EventFlags::alphaShift) != 0 && capsLockKey != XKB_KEYCODE_INVALID &&
                          capsLockKey != keyCode &&
                          xkb_state_mod_name_is_active(state, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) <= 0;

  const auto tap = [this, &send](xkb_keycode_t key) {
    sendKey(key, true, send);
    sendKey(key, false, send);
  };
  if (lockAround) {
    tap(capsLockKey);
  }
  for (const xkb_keycode_t modifierKey : pressedAround) {
    sendKey(modifierKey, true, send);
  }
  sendKey(keyCode, down, send);
  for (auto modifierKey = pressedAround.rbegin(); modifierKey != pressedAround.rend(); ++modifierKey) {
    sendKey(*modifierKey, false, send);
  }
  if (lockAround) {
    tap(capsLockKey);
  }
  if (down) {
    heldKeys_[macKeyCode] = keyCode;
  } else {
    heldKeys_.erase(macKeyCode);
  }
  return true;
}

void XkbKeyPresser::releaseHeldKeys(const KeySender& send) {
  for (const auto& [macKeyCode, keyCode] : heldKeys_) {
    sendKey(keyCode, false, send);
  }
  heldKeys_.clear();
}

void XkbKeyPresser::sendKey(std::uint32_t xkbKeyCode, bool down, const KeySender& send) {
  xkb_state_update_key(parts_->state.get(), xkbKeyCode, down ? XKB_KEY_DOWN : XKB_KEY_UP);
  send(xkbKeyCode, down);
}

}  // namespace velmora
