#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/desktop/input_display_geometry.h"
#include "platform/desktop/pointer_policy.h"
#include "platform/input_backend.h"
#include "platform/result.h"
#include "platform/wayland/wayland_clipboard.h"
#include "platform/wayland/wayland_keyboard.h"
#include "platform/wayland/wayland_shared_connection.h"

struct wl_seat;
struct zwlr_virtual_pointer_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;

namespace velmora {

// Input on a wlroots compositor through a virtual pointer and a virtual keyboard, both made when
// the backend starts, and the clipboard through data control, all on the family's shared
// connection. Displays are the display source's. Wayland tells no client where the pointer is, so
// pointerLocation() is where it was last sent. "Trusted" means both virtual-input managers are
// there and the connection works. Called on the host's input queue; the connection is used on its
// own thread.
class WaylandInputBackend : public DisplaySourceInputBackend {
  struct PrivateTag {};

 public:
  struct Parts {
    std::shared_ptr<WaylandSharedConnection> connection;
    std::shared_ptr<const DisplaySource> displays;
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    std::unique_ptr<WaylandClipboard> clipboard;  // none where the compositor has no data control
  };
  WaylandInputBackend(PrivateTag, Parts parts);
  ~WaylandInputBackend() override;

  bool isProcessTrusted() const override;
  void postPointerEvent(const PointerEvent& event) override;
  void postScrollWheelEvent(const ScrollWheelEvent& event) override;
  bool postKeyboardEvent(const KeyboardEvent& event) override;
  void postUnicodeString(std::string_view text) override;
  void setClipboardText(std::string text) override;

 private:
  friend Result<std::shared_ptr<InputBackend>> makeWaylandInputBackend(
      std::shared_ptr<WaylandSharedConnection> connection, std::shared_ptr<const DisplaySource> displays);

  // On the connection's thread; `layout` is every display's bounds.
  void moveTo(GlobalPoint point, const std::vector<std::pair<std::uint32_t, Rect>>& layout);
  void sendButton(std::uint32_t button, bool down);

  const log::Logger logger_{"EventInjector"};
  Parts parts_;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  std::unique_ptr<WaylandKeyboard> keyboard_;
  HeldButtons heldButtons_;  // on the connection's thread
};

// Sets input and the clipboard up on `connection` before it starts; `displays` are its outputs.
// Fails when the compositor lacks a seat or a virtual-input manager.
Result<std::shared_ptr<InputBackend>> makeWaylandInputBackend(std::shared_ptr<WaylandSharedConnection> connection,
                                                              std::shared_ptr<const DisplaySource> displays);
// The same on a connection and display source of its own to `socketName` ($WAYLAND_DISPLAY when
// empty), started here.
Result<std::shared_ptr<InputBackend>> makeWaylandInputBackend(const std::string& socketName = {});

}  // namespace velmora
