// A window that prints what the pointer does over it, one line per event, in surface-local
// points: "size W H" once it is shown, "enter X Y", "motion X Y", "button CODE 1|0", "axis AXIS V";
// "focus" when it gets the keyboard focus, and for each key pressed then "key CODE" (evdev) and
// "text UTF-8" where the press types printable text on the compositor's keymap and modifiers.
// The tests place it (fullscreen on an output) with swaymsg, or start it with an output's index in
// the compositor's announcements to have it ask for that output fullscreen itself, and read its output.
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/wayland/protocols/xdg-shell-client.h"

namespace {

struct Recorder {
  wl_compositor* compositor = nullptr;
  wl_shm* shm = nullptr;
  wl_seat* seat = nullptr;
  xdg_wm_base* windowManager = nullptr;
  std::vector<wl_output*> outputs;
  wl_surface* surface = nullptr;
  wl_buffer* buffer = nullptr;
  int width = 0;
  int height = 0;
};

void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
  auto* recorder = static_cast<Recorder*>(data);
  const auto bind = [&](const wl_interface& wanted) { return wl_registry_bind(registry, name, &wanted, 1); };
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    recorder->compositor = static_cast<wl_compositor*>(bind(wl_compositor_interface));
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    recorder->shm = static_cast<wl_shm*>(bind(wl_shm_interface));
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0) {
    recorder->seat = static_cast<wl_seat*>(bind(wl_seat_interface));
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    recorder->windowManager = static_cast<xdg_wm_base*>(bind(xdg_wm_base_interface));
  } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
    recorder->outputs.push_back(static_cast<wl_output*>(bind(wl_output_interface)));
  }
}
void globalRemoved(void*, wl_registry*, std::uint32_t) {}

void ping(void*, xdg_wm_base* windowManager, std::uint32_t serial) { xdg_wm_base_pong(windowManager, serial); }

void toplevelConfigure(void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
  auto* recorder = static_cast<Recorder*>(data);
  recorder->width = width > 0 ? width : 64;
  recorder->height = height > 0 ? height : 64;
}
void toplevelClose(void*, xdg_toplevel*) {}

// A grey buffer of the size the compositor asked for, drawn at every configure.
void surfaceConfigure(void* data, xdg_surface* shellSurface, std::uint32_t serial) {
  auto* recorder = static_cast<Recorder*>(data);
  xdg_surface_ack_configure(shellSurface, serial);
  const int stride = recorder->width * 4;
  const int size = stride * recorder->height;
  const int descriptor = memfd_create("recorder", MFD_CLOEXEC);
  if (descriptor < 0 || ftruncate(descriptor, size) != 0) {
    return;
  }
  wl_shm_pool* pool = wl_shm_create_pool(recorder->shm, descriptor, size);
  if (recorder->buffer != nullptr) {
    wl_buffer_destroy(recorder->buffer);
  }
  recorder->buffer =
      wl_shm_pool_create_buffer(pool, 0, recorder->width, recorder->height, stride, WL_SHM_FORMAT_XRGB8888);
  wl_shm_pool_destroy(pool);
  close(descriptor);
  wl_surface_attach(recorder->surface, recorder->buffer, 0, 0);
  wl_surface_damage(recorder->surface, 0, 0, recorder->width, recorder->height);
  wl_surface_commit(recorder->surface);
  std::printf("size %d %d\n", recorder->width, recorder->height);
}

void enter(void*, wl_pointer*, std::uint32_t, wl_surface*, wl_fixed_t x, wl_fixed_t y) {
  std::printf("enter %g %g\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
void leave(void*, wl_pointer*, std::uint32_t, wl_surface*) {}
void motion(void*, wl_pointer*, std::uint32_t, wl_fixed_t x, wl_fixed_t y) {
  std::printf("motion %g %g\n", wl_fixed_to_double(x), wl_fixed_to_double(y));
}
void button(void*, wl_pointer*, std::uint32_t, std::uint32_t, std::uint32_t code, std::uint32_t state) {
  std::printf("button %u %u\n", code, state);
}
void axis(void*, wl_pointer*, std::uint32_t, std::uint32_t which, wl_fixed_t value) {
  std::printf("axis %u %g\n", which, wl_fixed_to_double(value));
}

// The compositor's keymap, with the modifiers it reports: key events alone never change them.
xkb_state* keyboardState = nullptr;

void keymap(void*, wl_keyboard*, std::uint32_t format, std::int32_t descriptor, std::uint32_t size) {
  void* text = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, descriptor, 0);
  close(descriptor);
  if (format != WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 || text == MAP_FAILED) {
    return;
  }
  static xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  xkb_keymap* keymap = xkb_keymap_new_from_string(context, static_cast<const char*>(text), XKB_KEYMAP_FORMAT_TEXT_V1,
                                                  XKB_KEYMAP_COMPILE_NO_FLAGS);
  munmap(text, size);
  xkb_state_unref(keyboardState);
  keyboardState = keymap != nullptr ? xkb_state_new(keymap) : nullptr;
  xkb_keymap_unref(keymap);
}
void keyboardEnter(void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) { std::printf("focus\n"); }
void keyboardLeave(void*, wl_keyboard*, std::uint32_t, wl_surface*) {}
void key(void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t code, std::uint32_t state) {
  if (state != WL_KEYBOARD_KEY_STATE_PRESSED) {
    return;
  }
  std::printf("key %u\n", code);
  // XKB numbers keys 8 above evdev; control characters (Return, Tab, Escape) print no line.
  char text[64];
  if (keyboardState != nullptr && xkb_state_key_get_utf8(keyboardState, code + 8, text, sizeof text) > 0 &&
      static_cast<unsigned char>(text[0]) >= 0x20 && text[0] != 0x7f) {
    std::printf("text %s\n", text);
  }
}
void modifiers(void*, wl_keyboard*, std::uint32_t, std::uint32_t depressed, std::uint32_t latched,
               std::uint32_t locked, std::uint32_t group) {
  if (keyboardState != nullptr) {
    xkb_state_update_mask(keyboardState, depressed, latched, locked, 0, 0, group);
  }
}
void repeatInfo(void*, wl_keyboard*, std::int32_t, std::int32_t) {}

// The compositor gives a pointer that reports anything only while the seat has one: the virtual
// pointer of the test comes after this window.
void capabilities(void*, wl_seat* seat, std::uint32_t capabilities) {
  static wl_pointer* pointer = nullptr;
  static const wl_pointer_listener pointerListener = {enter,   leave,   motion,  button,  axis,
                                                      nullptr, nullptr, nullptr, nullptr, nullptr};
  if ((capabilities & WL_SEAT_CAPABILITY_POINTER) != 0 && pointer == nullptr) {
    pointer = wl_seat_get_pointer(seat);
    wl_pointer_add_listener(pointer, &pointerListener, nullptr);
  }
  static wl_keyboard* keyboard = nullptr;
  static const wl_keyboard_listener keyboardListener = {keymap, keyboardEnter, keyboardLeave,
                                                        key,    modifiers,     repeatInfo};
  if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) != 0 && keyboard == nullptr) {
    keyboard = wl_seat_get_keyboard(seat);
    wl_keyboard_add_listener(keyboard, &keyboardListener, nullptr);
  }
}
void seatName(void*, wl_seat*, const char*) {}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) {
    std::fprintf(stderr, "cannot connect to the compositor\n");
    return 1;
  }
  Recorder recorder;
  static const wl_registry_listener registryListener = {global, globalRemoved};
  wl_registry_add_listener(wl_display_get_registry(display), &registryListener, &recorder);
  wl_display_roundtrip(display);
  if (recorder.compositor == nullptr || recorder.shm == nullptr || recorder.seat == nullptr ||
      recorder.windowManager == nullptr) {
    std::fprintf(stderr, "the compositor lacks a global this recorder needs\n");
    return 1;
  }
  static const xdg_wm_base_listener windowManagerListener = {ping};
  xdg_wm_base_add_listener(recorder.windowManager, &windowManagerListener, nullptr);
  static const wl_seat_listener seatListener = {capabilities, seatName};
  wl_seat_add_listener(recorder.seat, &seatListener, nullptr);

  recorder.surface = wl_compositor_create_surface(recorder.compositor);
  xdg_surface* shellSurface = xdg_wm_base_get_xdg_surface(recorder.windowManager, recorder.surface);
  static const xdg_surface_listener surfaceListener = {surfaceConfigure};
  xdg_surface_add_listener(shellSurface, &surfaceListener, &recorder);
  xdg_toplevel* toplevel = xdg_surface_get_toplevel(shellSurface);
  static const xdg_toplevel_listener toplevelListener = {toplevelConfigure, toplevelClose, nullptr, nullptr};
  xdg_toplevel_add_listener(toplevel, &toplevelListener, &recorder);
  xdg_toplevel_set_app_id(toplevel, "velmora-pointer-recorder");
  if (argc > 1 && std::stoul(argv[1]) < recorder.outputs.size()) {
    xdg_toplevel_set_fullscreen(toplevel, recorder.outputs[std::stoul(argv[1])]);
  }
  wl_surface_commit(recorder.surface);
  while (wl_display_dispatch(display) >= 0) {
  }
  return 0;
}
