#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/desktop/input_display_geometry.h"
#include "platform/desktop/pointer_policy.h"
#include "platform/input_backend.h"
#include "platform/result.h"
#include "platform/x11/x11_clipboard.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_display_source.h"
#include "platform/x11/x11_keyboard.h"
#include "platform/x11/x11_root_mapping.h"

namespace velmora {

using X11InputTiming = X11KeyboardTiming;

// Input through XTest on an X display: pointer, buttons (left, middle, right as X buttons 1, 2,
// 3), scrolling (one click of buttons 4 to 7 per line), keys and typed text, and the CLIPBOARD
// selection. Display bounds and the main display are the display source's; only the mapping of
// points to root-window pixels is this backend's. "Trusted" means the XTEST extension is usable.
// Called on the host's input queue.
class X11InputBackend : public DisplaySourceInputBackend {
  struct PrivateTag {};

 public:
  X11InputBackend(PrivateTag, std::shared_ptr<const X11DisplaySource> displays, X11Connection connection,
                  X11Connection restorerConnection, X11Connection keymapWatch, std::unique_ptr<X11Clipboard> clipboard,
                  X11InputTiming timing);
  ~X11InputBackend() override;

  bool isProcessTrusted() const override;
  std::optional<GlobalPoint> pointerLocation() const override;
  void postPointerEvent(const PointerEvent& event) override;
  void postScrollWheelEvent(const ScrollWheelEvent& event) override;
  bool postKeyboardEvent(const KeyboardEvent& event) override;
  void postUnicodeString(std::string_view text) override;
  void setClipboardText(std::string text) override;

  std::size_t spareKeyCount() const;
  std::size_t lentSpareKeyCount() const;

 private:
  friend Result<std::shared_ptr<X11InputBackend>> makeX11InputBackend(
      std::shared_ptr<const X11DisplaySource> displays, const std::string& displayName, X11InputTiming timing);

  X11RootMapping readRootMapping() const;
  void fakeButton(unsigned button, bool down);

  const std::shared_ptr<const X11DisplaySource> displays_;
  const X11Connection connection_;
  // Declared after the connection, which it uses until it is gone.
  X11Keyboard keyboard_;
  const std::unique_ptr<X11Clipboard> clipboard_;
  HeldButtons heldButtons_;
};

// Opens `displayName` ($DISPLAY when empty) for input, for giving back spare key codes and for the
// clipboard, a connection each; `displays` are that display's. Fails when the display cannot be
// opened or has no usable XTEST extension.
Result<std::shared_ptr<X11InputBackend>> makeX11InputBackend(std::shared_ptr<const X11DisplaySource> displays,
                                                             const std::string& displayName = {},
                                                             X11InputTiming timing = {});
// The same with a display source of its own.
Result<std::shared_ptr<X11InputBackend>> makeX11InputBackend(const std::string& displayName = {}, X11InputTiming timing = {});

}  // namespace velmora
