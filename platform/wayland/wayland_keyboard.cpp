#include "platform/wayland/wayland_keyboard.h"

#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/input_backend.h"
#include "platform/wayland/protocols/virtual-keyboard-unstable-v1-client.h"
#include "platform/x11/x11_key_map.h"

namespace velmora {
namespace {

// XKB key codes are evdev codes plus 8.
constexpr std::uint32_t kEvdevOffset = 8;
// Keys of one typing keymap: XKB's key code range, 8 to 255, less the ones below 9.
constexpr std::size_t kKeysPerTypingKeymap = 240;

struct FlagModifier {
  std::uint64_t flag;
  xkb_keysym_t keysym;
};
// Command is Control and control is Super on the host, as on X11.
constexpr std::array<FlagModifier, 4> kFlagModifiers = {{
    {EventFlags::shift, XKB_KEY_Shift_L},
    {EventFlags::control, XKB_KEY_Super_L},
    {EventFlags::alternate, XKB_KEY_Alt_L},
    {EventFlags::command, XKB_KEY_Control_L},
}};

template <class T, auto release>
struct Releaser {
  void operator()(T* pointer) const { release(pointer); }
};
template <class T, auto release>
using XkbPointer = std::unique_ptr<T, Releaser<T, release>>;
using ContextPointer = XkbPointer<xkb_context, xkb_context_unref>;
using KeymapPointer = XkbPointer<xkb_keymap, xkb_keymap_unref>;
using StatePointer = XkbPointer<xkb_state, xkb_state_unref>;

std::uint32_t millisecondsNow() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string keymapText(xkb_keymap* keymap) {
  const std::unique_ptr<char, Releaser<void, ::free>> text(xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1));
  return text ? std::string(text.get()) : std::string();
}

// A keymap whose key code 9 + N carries keysyms[N] alone, written out whole so that the
// compositor needs no XKB files of its own.
std::string typingKeymapText(xkb_context* context, const std::vector<std::uint32_t>& keysyms) {
  std::string codes;
  std::string symbols;
  for (std::size_t index = 0; index < keysyms.size(); ++index) {
    const std::string name = "<T" + std::to_string(index) + ">";
    std::array<char, 64> keysymName{};
    xkb_keysym_get_name(keysyms[index], keysymName.data(), keysymName.size());
    codes += name + " = " + std::to_string(index + 9) + ";\n";
    symbols += "key " + name + " { [ " + keysymName.data() + " ] };\n";
  }
  const std::string source = "xkb_keymap {\nxkb_keycodes \"velmora\" { minimum = 8; maximum = 255;\n" + codes +
                             "};\nxkb_types \"velmora\" { include \"complete\" };\n"
                             "xkb_compatibility \"velmora\" { include \"complete\" };\n"
                             "xkb_symbols \"velmora\" {\n" +
                             symbols + "};\n};\n";
  const KeymapPointer keymap(
      xkb_keymap_new_from_string(context, source.c_str(), XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS));
  return keymap ? keymapText(keymap.get()) : std::string();
}

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

struct WaylandKeyboard::Keymaps {
  ContextPointer context;
  KeymapPointer keymap;
  StatePointer state;  // what the keys sent so far have done
  std::string text;    // the normal keymap as uploaded

  // The modifier bits that pressing `keyCode` sets.
  xkb_mod_mask_t modifiersOf(xkb_keycode_t keyCode) const {
    const StatePointer scratch(xkb_state_new(keymap.get()));
    xkb_state_update_key(scratch.get(), keyCode, XKB_KEY_DOWN);
    return xkb_state_serialize_mods(scratch.get(), XKB_STATE_MODS_DEPRESSED);
  }
};

Result<std::unique_ptr<WaylandKeyboard>> WaylandKeyboard::create(zwp_virtual_keyboard_manager_v1* manager,
                                                                 wl_seat* seat) {
  using Failure = Result<std::unique_ptr<WaylandKeyboard>>;
  auto keymaps = std::make_unique<Keymaps>();
  keymaps->context.reset(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
  // No names: libxkbcommon takes XKB_DEFAULT_RULES, _MODEL, _LAYOUT ... and falls back to evdev, us.
  if (keymaps->context) {
    keymaps->keymap.reset(xkb_keymap_new_from_names(keymaps->context.get(), nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS));
  }
  if (!keymaps->keymap) {
    return Failure::failure("cannot build a keymap with libxkbcommon: are the XKB files (xkb-data) installed?");
  }
  keymaps->state.reset(xkb_state_new(keymaps->keymap.get()));
  keymaps->text = keymapText(keymaps->keymap.get());
  auto keyboard = std::make_unique<WaylandKeyboard>(
      PrivateTag{}, zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, seat), std::move(keymaps));
  if (!keyboard->uploadKeymap(keyboard->keymaps_->text)) {
    return Failure::failure("cannot hand the keymap to the compositor");
  }
  return keyboard;
}

WaylandKeyboard::WaylandKeyboard(PrivateTag, zwp_virtual_keyboard_v1* keyboard, std::unique_ptr<Keymaps> keymaps)
    : keyboard_(keyboard), keymaps_(std::move(keymaps)) {}

WaylandKeyboard::~WaylandKeyboard() {
  // A key left down would repeat on the host until someone pressed it again.
  for (const auto& [macKeyCode, keyCode] : heldKeys_) {
    sendKey(keyCode, false);
  }
  zwp_virtual_keyboard_v1_destroy(keyboard_);
}

std::uint32_t WaylandKeyboard::keyCodeFor(std::uint16_t macKeyCode) const {
  xkb_keymap* keymap = keymaps_->keymap.get();
  const std::string place(xkbKeyNameForMacKeyCode(macKeyCode));
  if (!place.empty()) {
    const xkb_keycode_t atPlace = xkb_keymap_key_by_name(keymap, place.c_str());
    if (atPlace != XKB_KEYCODE_INVALID && firstLevelKeysym(keymap, atPlace) != XKB_KEY_NoSymbol) {
      return atPlace;
    }
  }
  const X11Keysym keysym = keysymForMacKeyCode(macKeyCode);
  return keysym != 0 ? keyOnFirstLevel(keymap, keysym) : XKB_KEYCODE_INVALID;
}

bool WaylandKeyboard::postKey(std::uint16_t macKeyCode, bool down, std::uint64_t flags) {
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

  xkb_keymap* keymap = keymaps_->keymap.get();
  xkb_state* state = keymaps_->state.get();
  const xkb_mod_mask_t active = xkb_state_serialize_mods(state, XKB_STATE_MODS_EFFECTIVE);
  const xkb_mod_mask_t ownModifiers = keymaps_->modifiersOf(keyCode);
  std::vector<xkb_keycode_t> pressedAround;
  for (const auto& [flag, modifierKeysym] : kFlagModifiers) {
    const xkb_keycode_t modifierKey =
        (flags & flag) != 0 ? keyOnFirstLevel(keymap, modifierKeysym) : XKB_KEYCODE_INVALID;
    if (modifierKey == XKB_KEYCODE_INVALID || modifierKey == keyCode) {
      continue;
    }
    const xkb_mod_mask_t modifiers = keymaps_->modifiersOf(modifierKey);
    // A modifier key's own event does not get its modifier pressed around it.
    if ((modifiers & ~(active | ownModifiers)) != 0) {
      pressedAround.push_back(modifierKey);
    }
  }
  const xkb_keycode_t capsLockKey = keyOnFirstLevel(keymap, XKB_KEY_Caps_Lock);
  const bool lockAround = (flags & EventFlags::alphaShift) != 0 && capsLockKey != XKB_KEYCODE_INVALID &&
                          capsLockKey != keyCode &&
                          xkb_state_mod_name_is_active(state, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) <= 0;

  const auto tap = [this](xkb_keycode_t key) {
    sendKey(key, true);
    sendKey(key, false);
  };
  if (lockAround) {
    tap(capsLockKey);
  }
  for (const xkb_keycode_t modifierKey : pressedAround) {
    sendKey(modifierKey, true);
  }
  sendKey(keyCode, down);
  for (auto modifierKey = pressedAround.rbegin(); modifierKey != pressedAround.rend(); ++modifierKey) {
    sendKey(*modifierKey, false);
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

void WaylandKeyboard::typeText(std::string_view text) {
  std::vector<std::uint32_t> keysyms;
  std::vector<char32_t> batch;
  for (const char32_t codePoint : codePointsOf(text)) {
    const auto candidates = keysymsForCodePoint(codePoint);
    if (candidates.empty()) {
      logger_.error("Cannot type U+{:04X}: no keysym stands for it", static_cast<std::uint32_t>(codePoint));
      continue;
    }
    const bool known = std::find(keysyms.begin(), keysyms.end(), candidates.front()) != keysyms.end();
    if (!known && keysyms.size() == kKeysPerTypingKeymap) {
      typeBatch(keysyms, batch);
      keysyms.clear();
      batch.clear();
    }
    if (!known) {
      keysyms.push_back(candidates.front());
    }
    batch.push_back(codePoint);
  }
  if (!batch.empty()) {
    typeBatch(keysyms, batch);
  }
}

void WaylandKeyboard::typeBatch(const std::vector<std::uint32_t>& keysyms, const std::vector<char32_t>& codePoints) {
  const std::string typingKeymap = typingKeymapText(keymaps_->context.get(), keysyms);
  if (typingKeymap.empty() || !uploadKeymap(typingKeymap)) {
    logger_.error("Cannot build a keymap for {} typed characters", codePoints.size());
    return;
  }
  // The typing keymap has no modifiers; the held ones come back with the normal keymap.
  zwp_virtual_keyboard_v1_modifiers(keyboard_, 0, 0, 0, 0);
  for (const char32_t codePoint : codePoints) {
    const auto keysym = keysymsForCodePoint(codePoint).front();
    const auto index = static_cast<std::uint32_t>(std::find(keysyms.begin(), keysyms.end(), keysym) - keysyms.begin());
    const std::uint32_t evdevCode = index + 9 - kEvdevOffset;
    zwp_virtual_keyboard_v1_key(keyboard_, millisecondsNow(), evdevCode, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(keyboard_, millisecondsNow(), evdevCode, WL_KEYBOARD_KEY_STATE_RELEASED);
  }
  uploadKeymap(keymaps_->text);
  sendModifiers();
}

void WaylandKeyboard::sendKey(std::uint32_t xkbKeyCode, bool down) {
  zwp_virtual_keyboard_v1_key(keyboard_, millisecondsNow(), xkbKeyCode - kEvdevOffset,
                              down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  xkb_state_update_key(keymaps_->state.get(), xkbKeyCode, down ? XKB_KEY_DOWN : XKB_KEY_UP);
  sendModifiers();
}

void WaylandKeyboard::sendModifiers() {
  xkb_state* state = keymaps_->state.get();
  zwp_virtual_keyboard_v1_modifiers(keyboard_, xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
                                    xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
                                    xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
                                    xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
}

bool WaylandKeyboard::uploadKeymap(const std::string& text) {
  // The compositor maps the descriptor and reads a NUL-terminated text of `size` bytes.
  const int descriptor = memfd_create("velmora-keymap", MFD_CLOEXEC);
  if (descriptor < 0) {
    logger_.error("Cannot make a keymap file: {}", std::strerror(errno));
    return false;
  }
  const bool written = write(descriptor, text.c_str(), text.size() + 1) == static_cast<ssize_t>(text.size() + 1);
  if (written) {
    // libwayland sends a duplicate of the descriptor, so ours can go at once.
    zwp_virtual_keyboard_v1_keymap(keyboard_, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, descriptor,
                                   static_cast<std::uint32_t>(text.size() + 1));
  } else {
    logger_.error("Cannot write the keymap file: {}", std::strerror(errno));
  }
  close(descriptor);
  return written;
}

}  // namespace velmora
