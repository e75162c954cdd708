#include "app/tray_presenter.h"

#include "app/localization.h"
#include "displays/mac_display_catalog.h"
#include "platform/log/printable.h"

namespace velmora {

std::shared_ptr<TrayPresenter> TrayPresenter::create(Dependencies dependencies, Actions actions,
                                                     bool accessibilityGranted) {
  std::shared_ptr<TrayPresenter> presenter(
      new TrayPresenter(std::move(dependencies), std::move(actions), accessibilityGranted));
  auto menuActions = presenter->actions_.menu;
  menuActions.toggleAlwaysAskForCode = [weak = presenter->weak_from_this()] {
    if (auto self = weak.lock(); self && self->actions_.setAlwaysAskForCode) {
      self->actions_.setAlwaysAskForCode(!self->dependencies_.alwaysAskForCode());
    }
  };
  menuActions.openAccessibilitySettings = [weak = presenter->weak_from_this()] {
    if (auto self = weak.lock()) {
      self->openPermissionHelp(PermissionKind::accessibility, "mac.accessibility.openAlertFallback",
                               "mac.accessibility.openAlertButton");
    }
  };
  menuActions.openScreenRecordingSettings = [weak = presenter->weak_from_this()] {
    if (auto self = weak.lock()) {
      self->openPermissionHelp(PermissionKind::screenRecording, "mac.screenRecording.openAlertFallback",
                               "mac.screenRecording.openAlertButton");
    }
  };
  presenter->statusMenu_ = std::make_unique<StatusMenu>(presenter->dependencies_.userInterface, std::move(menuActions));
  presenter->statusMenu_->setAccessibilityMissing(!presenter->accessibilityCurrentlyGranted_);
  presenter->statusMenu_->setScreenRecordingMissing(!presenter->screenRecordingCurrentlyGranted_);
  return presenter;
}

TrayPresenter::TrayPresenter(Dependencies dependencies, Actions actions, bool accessibilityGranted)
    : dependencies_(std::move(dependencies)),
      actions_(std::move(actions)),
      accessibilityCurrentlyGranted_(accessibilityGranted),
      screenRecordingCurrentlyGranted_(dependencies_.captureBackend->hasScreenCaptureAccess()) {}

void TrayPresenter::updateStatusMenu(std::string text) {
  dependencies_.mainQueue.post([weak = weak_from_this(), text = std::move(text)] {
    if (auto self = weak.lock()) {
      self->statusMenu_->setStatus(text);
    }
  });
}

void TrayPresenter::presentVerificationCode(const std::string& pairingCode) {
  std::string spacedCode;
  for (const char digit : pairingCode) {
    if (!spacedCode.empty()) {
      spacedCode += ' ';
    }
    spacedCode += digit;
  }
  dependencies_.userInterface->presentVerificationCode(VerificationCodePanelContent{
      localized("mac.verification.title"), localized("mac.verification.message"), pairingCode, spacedCode});
}

void TrayPresenter::dismissVerificationCode() { dependencies_.userInterface->dismissVerificationCode(); }

const std::vector<TrayPresenter::BitRateOption>& TrayPresenter::bitRateOptions() {
  static const std::vector<BitRateOption> options = {
      {"10 Mbps", 10'000'000}, {"20 Mbps", 20'000'000}, {"30 Mbps", 30'000'000}, {"50 Mbps", 50'000'000}};
  return options;
}

void TrayPresenter::menuWillOpen(bool alternateKeyHeld) {
  statusMenu_->setFingerprintShown(alternateKeyHeld);
  rebuildDisplaySubmenu();
  rebuildBitrateSubmenu();
  rebuildTrustEntries();
}

void TrayPresenter::rebuildTrustEntries() {
  std::vector<StatusMenuItem> entries;
  const auto devices = dependencies_.trustedDevices ? dependencies_.trustedDevices() : std::vector<TrustedDevice>{};
  const auto now = WallClock::now();
  for (const auto& device : devices) {
    const auto seen = device.lastSeen();
    entries.push_back(submenuItem(
        std::nullopt,
        localizedFormat("mac.menu.trustedDevices.itemFormat",
                        {printable(device.displayName(), 60), seen ? describeAge(now - *seen) : "—"}),
        {actionItem(std::nullopt, localized("mac.menu.trustedDevices.forget"),
                    [forget = actions_.forgetDevice, identifier = device.identifier] { forget(identifier); })}));
  }
  if (devices.empty()) {
    entries.push_back(textLine(std::nullopt, localized("mac.menu.trustedDevices.none")));
  } else {
    entries.push_back(separator());
    entries.push_back(actionItem(std::nullopt, localized("mac.menu.trustedDevices.forgetAll"),
                                 [forgetAll = actions_.forgetAllDevices] { forgetAll(); }));
  }
  statusMenu_->setSubmenu(StatusMenu::kTrustedDevicesMenuTag, std::move(entries));
  const bool forced = dependencies_.alwaysAskForCodeForced;
  statusMenu_->setAlwaysAskForCode(forced || (dependencies_.alwaysAskForCode && dependencies_.alwaysAskForCode()), !forced);
}

void TrayPresenter::rebuildDisplaySubmenu() {
  std::vector<StatusMenuItem> entries;
  const auto selected = dependencies_.selectedDisplayID();
  for (const auto& snapshot : MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource)) {
    const auto width = static_cast<std::int64_t>(snapshot.frame.width);
    const auto height = static_cast<std::int64_t>(snapshot.frame.height);
    const bool checked = selected ? *selected == snapshot.displayID : snapshot.isMain;
    entries.push_back(StatusMenu::checkedEntry(
        localizedFormat(snapshot.isMain ? "mac.menu.displayItem.mainFormat" : "mac.menu.displayItem.format",
                        {snapshot.displayID, width, height}),
        checked, [select = actions_.selectDisplay, displayID = snapshot.displayID] { select(displayID); }));
  }
  statusMenu_->setSubmenu(StatusMenu::kDisplayMenuTag, std::move(entries));
}

void TrayPresenter::rebuildBitrateSubmenu() {
  std::vector<StatusMenuItem> entries;
  const std::int64_t selected = dependencies_.selectedBitRate();
  for (const auto& option : bitRateOptions()) {
    entries.push_back(StatusMenu::checkedEntry(
        option.label, option.bitsPerSecond == selected,
        [select = actions_.selectBitRate, bitsPerSecond = option.bitsPerSecond] { select(bitsPerSecond); }));
  }
  statusMenu_->setSubmenu(StatusMenu::kBitRateMenuTag, std::move(entries));
}

void TrayPresenter::recheckPermissions() {
  recheckAccessibility();
  screenRecordingChecks_.post([backend = dependencies_.captureBackend, &mainQueue = dependencies_.mainQueue,
                               weak = weak_from_this()] {
    mainQueue.post([weak, granted = backend->hasScreenCaptureAccess()] {
      if (auto self = weak.lock()) {
        self->setScreenRecordingGranted(granted);
      }
    });
  });
}

void TrayPresenter::setScreenRecordingGranted(bool granted) {
  screenRecordingCurrentlyGranted_ = granted;
  statusMenu_->setScreenRecordingMissing(!granted);
}

void TrayPresenter::recheckAccessibility() {
  dependencies_.checkAccessibility([weak = weak_from_this()](bool trusted) {
    if (auto self = weak.lock()) {
      self->setAccessibilityGranted(trusted);
    }
  });
}

void TrayPresenter::setAccessibilityGranted(bool granted) {
  accessibilityCurrentlyGranted_ = granted;
  statusMenu_->setAccessibilityMissing(!granted);
}

void TrayPresenter::openPermissionHelp(PermissionKind permission, const char* alertKey, const char* buttonKey) {
  const auto help = dependencies_.permissionHelp;
  if (help) {
    help->open(permission);
  }
  dependencies_.mainQueue.postAfter(dependencies_.permissionHelpAlertDelay,
                                    [weak = weak_from_this(), help, alertKey, buttonKey] {
                                      auto self = weak.lock();
                                      if (!self || (help && help->lastOpenCameToFront())) {
                                        return;
                                      }
                                      self->dependencies_.userInterface->showAlert(localized(alertKey),
                                                                                   localized(buttonKey));
                                    });
}

}  // namespace velmora
