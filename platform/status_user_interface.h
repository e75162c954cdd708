#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// One entry of the status menu as the session controller describes it; the user interface only
// renders it and calls `action` when the user chooses the entry.
struct StatusMenuItem {
  enum class Kind { header, item, separator };

  Kind kind = Kind::item;
  std::optional<int> tag;     // how the controller finds the entry again
  std::string title;
  std::string keyEquivalent;  // a single lower-case letter, or empty
  bool enabled = true;
  bool checked = false;
  bool hidden = false;
  std::function<void()> action;  // none: a line of text that cannot be chosen
  bool hasSubmenu = false;
  std::vector<StatusMenuItem> submenu;
};

// The controller's side of the menu. Main thread.
class StatusMenuSource {
 public:
  virtual ~StatusMenuSource() = default;
  // Called just before the menu is shown: refills the choosers and shows the fingerprint line
  // only while the alternate (Option, here Alt) key is held.
  virtual void menuWillOpen(bool alternateKeyHeld) = 0;
  virtual std::vector<StatusMenuItem> statusMenuItems() const = 0;
};

// What the verification-code panel shows.
struct VerificationCodePanelContent {
  std::string title;
  std::string message;
  std::string code;
  std::string spacedCode;  // the code's characters with one space between neighbours
};

// What the user sees of the host: the status menu behind a tray icon, the verification-code
// panel and alerts; or, in a headless run, lines on standard output. Main thread only.
class StatusUserInterface {
 public:
  virtual ~StatusUserInterface() = default;
  virtual void setMenuSource(std::weak_ptr<StatusMenuSource> source) = 0;
  // The menu model changed (status line, warnings): an open menu is rendered again.
  virtual void menuChanged() = 0;
  // The status text itself (without the menu's format), for interfaces that print it.
  virtual void statusChanged(const std::string& statusText) = 0;
  // The tray icon's tooltip; none clears it.
  virtual void setToolTip(const std::optional<std::string>& text) = 0;
  // While a client is connected the icon shows that the computer is in use.
  virtual void setInUse([[maybe_unused]] bool inUse) {}
  virtual void presentVerificationCode(const VerificationCodePanelContent& content) = 0;
  virtual void dismissVerificationCode() = 0;
  // A modal message with one button; returns once the user has dismissed it.
  virtual void showAlert(const std::string& message, const std::string& buttonTitle) = 0;
};

enum class PermissionKind { accessibility, screenRecording };

// Opens the place where the user learns how to grant a permission (on Linux the host's help page
// for it, through the desktop's opener).
class PermissionHelp {
 public:
  virtual ~PermissionHelp() = default;
  virtual void open(PermissionKind permission) = 0;
  // Asked a moment after open(): whether something came to the front to show the help. When
  // nothing did, the controller explains in an alert instead.
  virtual bool lastOpenCameToFront() = 0;
};

}  // namespace velmora
