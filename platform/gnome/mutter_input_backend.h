#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/gnome/mutter_clipboard.h"
#include "platform/desktop/input_display_geometry.h"
#include "platform/desktop/pointer_policy.h"
#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/input_backend.h"
#include "platform/result.h"
#include "platform/desktop/xkb_key_presser.h"

namespace velmora {

// Input through the mutter remote-desktop session's Notify* calls, sent without waiting for
// mutter's answers (a failure is logged when it comes). A point goes to the stream of the monitor
// that holds it, so a point on display N lands on N. Keys go out as evdev codes by place; typed
// text as keysyms, which mutter types only where its keyboard layout holds them: the rest of a text
// is named once in the log. Displays are the GNOME display source's, which follows mutter's
// monitors. Called on the main thread.
class MutterInputBackend : public DisplaySourceInputBackend {
  struct PrivateTag {};

 public:
  MutterInputBackend(PrivateTag, std::shared_ptr<MutterRemoteDesktop> session,
                     std::shared_ptr<const DisplaySource> displays, std::unique_ptr<XkbKeyPresser> presser);
  ~MutterInputBackend() override;

  bool isProcessTrusted() const override;
  void postPointerEvent(const PointerEvent& event) override;
  void postScrollWheelEvent(const ScrollWheelEvent& event) override;
  bool postKeyboardEvent(const KeyboardEvent& event) override;
  void postUnicodeString(std::string_view text) override;
  void setClipboardText(std::string text) override;

 private:
  friend Result<std::shared_ptr<InputBackend>> makeMutterInputBackend(std::shared_ptr<MutterRemoteDesktop> session,
                                                                      std::shared_ptr<const DisplaySource> displays);

  // The current session's path, empty while it is being started again; a new session's keyboard
  // is primed when the path changes. Any thread.
  std::string sessionPath() const;
  void sendKeys(const std::vector<std::pair<std::uint32_t, bool>>& xkbKeys);

  const log::Logger logger_{"EventInjector"};
  const std::shared_ptr<MutterRemoteDesktop> session_;
  const std::unique_ptr<XkbKeyPresser> presser_;
  MutterClipboard clipboard_;
  HeldButtons heldButtons_;

  mutable std::mutex sessionPathLock_;
  mutable std::string sessionPath_;
};

// Input for the session's displays as `displays` lists them; fails where the keymap cannot be
// built or the session has stopped.
Result<std::shared_ptr<InputBackend>> makeMutterInputBackend(std::shared_ptr<MutterRemoteDesktop> session,
                                                             std::shared_ptr<const DisplaySource> displays);

}  // namespace velmora
