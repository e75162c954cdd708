#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/status_menu.h"
#include "control/trusted_devices.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/display_source.h"
#include "platform/log/log.h"
#include "platform/main_queue.h"
#include "platform/screen_capture_backend.h"
#include "platform/status_user_interface.h"

namespace velmora {

// What the user sees of the controller: the status line, the menu with its choosers and
// permission warnings, the verification-code panel and the permission alerts. It decides
// nothing about the session; the choices go back through its actions. Main thread unless noted.
class TrayPresenter : public StatusMenuSource, public std::enable_shared_from_this<TrayPresenter> {
 public:
  struct BitRateOption {
    std::string label;
    std::int64_t bitsPerSecond = 0;
  };

  struct Dependencies {
    MainQueue& mainQueue;
    std::shared_ptr<StatusUserInterface> userInterface;
    std::shared_ptr<PermissionHelp> permissionHelp;  // none: the alert explains at once
    std::shared_ptr<DisplaySource> displaySource;
    std::shared_ptr<ScreenCaptureBackend> captureBackend;
    // How long the help for a missing permission has to come to the front before an alert explains.
    std::chrono::steady_clock::duration permissionHelpAlertDelay;
    // Asks the input backend, on its own queue, and answers on the main queue.
    std::function<void(std::function<void(bool trusted)>)> checkAccessibility;
    // What the choosers check.
    std::function<std::optional<std::uint32_t>()> selectedDisplayID;
    std::function<std::int64_t()> selectedBitRate;
    // What the trust entries show.
    std::function<std::vector<TrustedDevice>()> trustedDevices;
    std::function<bool()> alwaysAskForCode;
    bool alwaysAskForCodeForced = false;  // by the command line: the menu cannot turn it off
  };

  struct Actions {
    StatusMenu::Actions menu;  // the entries' own, except the permission help (here)
    std::function<void(std::uint32_t displayID)> selectDisplay;
    std::function<void(std::int64_t bitsPerSecond)> selectBitRate;
    std::function<void(const std::string& identifier)> forgetDevice;
    std::function<void()> forgetAllDevices;
    std::function<void(bool alwaysAsk)> setAlwaysAskForCode;
  };

  // `accessibilityGranted` is the answer the start-up already has; the menu's warnings follow it.
  static std::shared_ptr<TrayPresenter> create(Dependencies dependencies, Actions actions, bool accessibilityGranted);

  // Any thread: the change is queued to the main thread.
  void updateStatusMenu(std::string text);
  void presentVerificationCode(const std::string& pairingCode);
  void dismissVerificationCode();

  void menuWillOpen(bool alternateKeyHeld) override;
  // The trusted devices or the choice to always ask changed: the entries follow.
  void rebuildTrustEntries();
  std::vector<StatusMenuItem> statusMenuItems() const override { return statusMenu_->items(); }
  static const std::vector<BitRateOption>& bitRateOptions();

  // Permission monitoring: the answers come later, as asking may take seconds (a ping, a test copy).
  void recheckPermissions();
  void recheckAccessibility();
  bool accessibilityCurrentlyGranted() const { return accessibilityCurrentlyGranted_; }
  bool screenRecordingCurrentlyGranted() const { return screenRecordingCurrentlyGranted_; }

 private:
  TrayPresenter(Dependencies dependencies, Actions actions, bool accessibilityGranted);
  void rebuildDisplaySubmenu();
  void rebuildBitrateSubmenu();
  void setAccessibilityGranted(bool granted);
  void setScreenRecordingGranted(bool granted);
  void openPermissionHelp(PermissionKind permission, const char* alertKey, const char* buttonKey);

  Dependencies dependencies_;
  Actions actions_;
  log::Logger logger_{"App"};
  std::unique_ptr<StatusMenu> statusMenu_;
  bool accessibilityCurrentlyGranted_;
  bool screenRecordingCurrentlyGranted_;
  // Declared last: destroyed first, so no check outlives what it reports to.
  SerialQueue screenRecordingChecks_{"velmora.permission"};
};

}  // namespace velmora
