#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/pointer_policy.h"
#include "platform/input_backend.h"
#include "platform/result.h"
#include "platform/wayland/wayland_clipboard.h"
#include "platform/wayland/wayland_keyboard.h"
#include "platform/wayland/wayland_outputs.h"
#include "platform/wayland/wayland_shared_connection.h"

struct wl_seat;
struct zwlr_virtual_pointer_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwp_virtual_keyboard_manager_v1;

namespace velmora {

// Input on a wlroots compositor through a virtual pointer and a virtual keyboard, both made when
// the backend starts, and the clipboard through data control, all on the family's shared connection. Displays are the compositor's
// outputs in points (its logical layout), with the origin at the main output's top-left corner:
// the one at the layout's origin, as the display source has it. Wayland tells no client where
// the pointer is, so pointerLocation() is where it was last sent. "Trusted" means both
// virtual-input managers are there and the connection works.
// Called on the main thread; the connection is used on its own thread.
class WaylandInputBackend : public InputBackend {
  struct PrivateTag {};

 public:
  struct Parts {
    std::shared_ptr<WaylandSharedConnection> connection;
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    std::unique_ptr<WaylandClipboard> clipboard;  // none where the compositor has no data control
  };
  WaylandInputBackend(PrivateTag, Parts parts);
  ~WaylandInputBackend() override;

  bool isProcessTrusted() const override;
  std::optional<GlobalPoint> pointerLocation() const override;
  Rect displayBounds(std::uint32_t displayID) const override;
  std::uint32_t mainDisplayID() const override;
  std::vector<std::uint32_t> activeDisplayIDs() const override;
  void postPointerEvent(const PointerEvent& event) override;
  void postScrollWheelEvent(const ScrollWheelEvent& event) override;
  bool postKeyboardEvent(const KeyboardEvent& event) override;
  void postUnicodeString(std::string_view text) override;
  void setClipboardText(std::string text) override;

 private:
  friend Result<std::shared_ptr<InputBackend>> makeWaylandInputBackend(
      std::shared_ptr<WaylandSharedConnection> connection);

  // On the connection's thread.
  void moveTo(GlobalPoint point);
  void sendButton(std::uint32_t button, bool down);

  std::vector<WaylandOutput> currentOutputs() const;

  const log::Logger logger_{"EventInjector"};
  Parts parts_;
  int outputsWatch_ = -1;
  zwlr_virtual_pointer_v1* pointer_ = nullptr;
  std::unique_ptr<WaylandKeyboard> keyboard_;
  HeldButtons heldButtons_;  // on the connection's thread

  mutable std::mutex outputsSnapshotLock_;
  std::vector<WaylandOutput> outputsSnapshot_;
  mutable std::mutex lastPointerLocationLock_;
  std::optional<GlobalPoint> lastPointerLocation_;
};

// Sets input and the clipboard up on `connection` before it starts. Fails when the compositor
// lacks a seat or a virtual-input manager.
Result<std::shared_ptr<InputBackend>> makeWaylandInputBackend(std::shared_ptr<WaylandSharedConnection> connection);
// The same on a connection of its own to `socketName` ($WAYLAND_DISPLAY when empty), started here.
Result<std::shared_ptr<InputBackend>> makeWaylandInputBackend(const std::string& socketName = {});

}  // namespace velmora
