#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/input_display_geometry.h"
#include "platform/desktop/pointer_policy.h"
#include "platform/desktop/xkb_key_presser.h"
#include "platform/input_backend.h"
#include "platform/result.h"
#include "platform/wayland/wayland_clipboard.h"
#include "platform/wayland/wayland_shared_connection.h"

struct org_kde_kwin_fake_input;

namespace velmora {

// Input on KWin through its fake input device, on the family's shared connection: the pointer
// moves to absolute points of KWin's logical layout, keys go out by their place on the XKB keymap
// (KWin's fake keyboard takes kernel key codes), and typed text is typed with the keys of that
// keymap that hold its characters; characters the layout lacks are reported, once per text. The
// clipboard goes through data control. Called on the host's input queue; the connection is used
// on its own thread.
class KwinInputBackend : public DisplaySourceInputBackend {
  struct PrivateTag {};

 public:
  // On `connection`, before it starts: authenticates with KWin. `fakeInput` is taken over.
  static Result<std::shared_ptr<KwinInputBackend>> create(std::shared_ptr<WaylandSharedConnection> connection,
                                                          std::shared_ptr<const DisplaySource> displays,
                                                          org_kde_kwin_fake_input* fakeInput);

  KwinInputBackend(PrivateTag, std::shared_ptr<WaylandSharedConnection> connection,
                   std::shared_ptr<const DisplaySource> displays, org_kde_kwin_fake_input* fakeInput,
                   std::unique_ptr<XkbKeyPresser> presser, std::unique_ptr<WaylandClipboard> clipboard);
  ~KwinInputBackend() override;
  KwinInputBackend(const KwinInputBackend&) = delete;
  KwinInputBackend& operator=(const KwinInputBackend&) = delete;

  bool isProcessTrusted() const override;
  void postPointerEvent(const PointerEvent& event) override;
  void postScrollWheelEvent(const ScrollWheelEvent& event) override;
  bool postKeyboardEvent(const KeyboardEvent& event) override;
  void postUnicodeString(std::string_view text) override;
  void setClipboardText(std::string text) override;

 private:
  // On the connection's thread.
  void sendKey(std::uint32_t xkbKeyCode, bool down);

  const log::Logger logger_{"EventInjector"};
  const std::shared_ptr<WaylandSharedConnection> connection_;
  org_kde_kwin_fake_input* const fakeInput_;
  // On the connection's thread.
  const std::unique_ptr<XkbKeyPresser> presser_;
  HeldButtons heldButtons_;
  const std::unique_ptr<WaylandClipboard> clipboard_;  // none where KWin has no data control
};

}  // namespace velmora
