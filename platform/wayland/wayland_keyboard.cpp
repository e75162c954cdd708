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

#include "platform/released_pointer.h"
#include "platform/wayland/protocols/virtual-keyboard-unstable-v1-client.h"
#include "platform/desktop/mac_key_map.h"

namespace velmora {
namespace {

// XKB key codes are evdev codes plus 8.
constexpr std::uint32_t kEvdevOffset = 8;
// Keys of one typing keymap: XKB's key code range, 8 to 255, less the ones below 9.
constexpr std::size_t kKeysPerTypingKeymap = 240;

using KeymapPointer = ReleasedPointer<xkb_keymap, xkb_keymap_unref>;

std::uint32_t millisecondsNow() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::string keymapText(xkb_keymap* keymap) {
  const ReleasedPointer<char, ::free> text(xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1));
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

}  // namespace

Result<std::unique_ptr<WaylandKeyboard>> WaylandKeyboard::create(zwp_virtual_keyboard_manager_v1* manager,
                                                                 wl_seat* seat) {
  using Failure = Result<std::unique_ptr<WaylandKeyboard>>;
  auto presser = XkbKeyPresser::create();
  if (!presser) {
    return Failure::failure(presser.error());
  }
  auto keyboard = std::make_unique<WaylandKeyboard>(
      PrivateTag{}, zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(manager, seat), std::move(presser.value()));
  if (!keyboard->uploadKeymap(keyboard->presser_->keymapText())) {
    return Failure::failure("cannot hand the keymap to the compositor");
  }
  return keyboard;
}

WaylandKeyboard::WaylandKeyboard(PrivateTag, zwp_virtual_keyboard_v1* keyboard, std::unique_ptr<XkbKeyPresser> presser)
    : keyboard_(keyboard), presser_(std::move(presser)) {}

WaylandKeyboard::~WaylandKeyboard() {
  presser_->releaseHeldKeys([this](std::uint32_t keyCode, bool down) { sendKey(keyCode, down); });
  zwp_virtual_keyboard_v1_destroy(keyboard_);
}

bool WaylandKeyboard::postKey(std::uint16_t macKeyCode, bool down, std::uint64_t flags) {
  return presser_->postKey(macKeyCode, down, flags,
                           [this](std::uint32_t keyCode, bool keyDown) { sendKey(keyCode, keyDown); });
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
  const std::string typingKeymap = typingKeymapText(presser_->context(), keysyms);
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
  uploadKeymap(presser_->keymapText());
  sendModifiers();
}

void WaylandKeyboard::sendKey(std::uint32_t xkbKeyCode, bool down) {
  zwp_virtual_keyboard_v1_key(keyboard_, millisecondsNow(), xkbKeyCode - kEvdevOffset,
                              down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  sendModifiers();
}

void WaylandKeyboard::sendModifiers() {
  xkb_state* state = presser_->state();
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
