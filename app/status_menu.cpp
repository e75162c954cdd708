// The controller's status menu: its model, the display and bit-rate choosers, and the permission
// warnings at its top.
#include <algorithm>

#include "app/app_build_info.h"
#include "app/localization.h"
#include "app/status_bar_controller.h"

namespace velmora {
namespace {

StatusMenuItem separator() {
  StatusMenuItem item;
  item.kind = StatusMenuItem::Kind::separator;
  return item;
}

StatusMenuItem textLine(std::optional<int> tag, std::string title) {
  StatusMenuItem item;
  item.tag = tag;
  item.title = std::move(title);
  return item;
}

StatusMenuItem actionItem(std::optional<int> tag, std::string title, std::function<void()> action,
                          std::string keyEquivalent = {}) {
  StatusMenuItem item = textLine(tag, std::move(title));
  item.action = std::move(action);
  item.keyEquivalent = std::move(keyEquivalent);
  return item;
}

StatusMenuItem checkedItem(std::string title, bool checked, std::function<void()> action) {
  StatusMenuItem item = actionItem(std::nullopt, std::move(title), std::move(action));
  item.checked = checked;
  return item;
}

StatusMenuItem submenuItem(int tag, std::string title) {
  StatusMenuItem item = textLine(tag, std::move(title));
  item.hasSubmenu = true;
  return item;
}

}  // namespace

const std::vector<StatusBarController::BitRateOption>& StatusBarController::bitRateOptions() {
  static const std::vector<BitRateOption> options = {
      {"10 Mbps", 10'000'000}, {"20 Mbps", 20'000'000}, {"30 Mbps", 30'000'000}, {"50 Mbps", 50'000'000}};
  return options;
}

void StatusBarController::setupMenu() {
  std::weak_ptr<StatusBarController> weak = weak_from_this();
  const auto call = [weak](void (StatusBarController::*operation)()) {
    return [weak, operation] {
      if (auto self = weak.lock()) {
        ((*self).*operation)();
      }
    };
  };
  StatusMenuItem header = textLine(std::nullopt, "Velmora");
  header.kind = StatusMenuItem::Kind::header;
  header.enabled = false;
  statusMenu_ = {
      header,
      textLine(kStatusTag, localizedFormat("mac.menu.status.format", {localized("mac.menu.status.waiting")})),
      textLine(kVersionTag, localizedFormat("mac.menu.versionBuild.format", {AppBuildInfo::version(), AppBuildInfo::build()})),
      textLine(kFingerprintTag, localizedFormat("mac.menu.fingerprint.format", {AppBuildInfo::fingerprint()})),
      separator(),
      actionItem(std::nullopt, localized("mac.menu.startServer"), call(&StatusBarController::startServer), "s"),
      actionItem(std::nullopt, localized("mac.menu.stopServer"), call(&StatusBarController::stopServer)),
      actionItem(std::nullopt, localized("mac.menu.showVerificationCode"),
                 call(&StatusBarController::showVerificationCode)),
      separator(),
      submenuItem(kDisplayMenuTag, localized("mac.menu.display")),
      submenuItem(kBitRateMenuTag, localized("mac.menu.bitrate")),
      separator(),
      actionItem(std::nullopt, localized("mac.menu.quit"),
                 [quit = dependencies_.quit] {
                   if (quit) {
                     quit();
                   }
                 },
                 "q"),
  };
  // Shown only while Alt is held as the menu opens.
  menuItem(kFingerprintTag)->hidden = true;
}

StatusMenuItem* StatusBarController::menuItem(int tag) {
  const auto position = menuPosition(tag);
  return position ? &statusMenu_[*position] : nullptr;
}

std::optional<std::size_t> StatusBarController::menuPosition(int tag) const {
  const auto found = std::find_if(statusMenu_.begin(), statusMenu_.end(),
                                  [tag](const StatusMenuItem& item) { return item.tag == tag; });
  if (found == statusMenu_.end()) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(found - statusMenu_.begin());
}

void StatusBarController::menuChanged() { dependencies_.userInterface->menuChanged(); }

void StatusBarController::menuWillOpen(bool alternateKeyHeld) {
  if (auto* fingerprint = menuItem(kFingerprintTag)) {
    fingerprint->hidden = !alternateKeyHeld;
  }
  rebuildDisplaySubmenu();
  rebuildBitrateSubmenu();
}

void StatusBarController::rebuildDisplaySubmenu() {
  auto* displayMenu = menuItem(kDisplayMenuTag);
  if (displayMenu == nullptr) {
    return;
  }
  displayMenu->submenu.clear();
  const auto selected = selectedDisplayID();
  for (const auto& snapshot : currentSnapshots()) {
    const auto width = static_cast<std::int64_t>(snapshot.frame.width);
    const auto height = static_cast<std::int64_t>(snapshot.frame.height);
    const bool checked = selected ? *selected == snapshot.displayID : snapshot.isMain;
    displayMenu->submenu.push_back(checkedItem(
        localizedFormat(snapshot.isMain ? "mac.menu.displayItem.mainFormat" : "mac.menu.displayItem.format",
                        {snapshot.displayID, width, height}),
        checked, [weak = weak_from_this(), displayID = snapshot.displayID] {
          if (auto self = weak.lock()) {
            self->selectDisplay(displayID);
          }
        }));
  }
}

void StatusBarController::rebuildBitrateSubmenu() {
  auto* bitRateMenu = menuItem(kBitRateMenuTag);
  if (bitRateMenu == nullptr) {
    return;
  }
  bitRateMenu->submenu.clear();
  for (const auto& option : bitRateOptions()) {
    bitRateMenu->submenu.push_back(
        checkedItem(option.label, option.bitsPerSecond == selectedBitRate_,
                    [weak = weak_from_this(), bitsPerSecond = option.bitsPerSecond] {
                      if (auto self = weak.lock()) {
                        self->selectBitRate(bitsPerSecond);
                      }
                    }));
  }
}

void StatusBarController::selectDisplay(std::uint32_t displayID) {
  std::optional<std::uint32_t> current = selectedDisplayID();
  if (!current) {
    const auto snapshots = currentSnapshots();
    if (!snapshots.empty()) {
      current = snapshots.front().displayID;
    }
  }
  if (current == displayID) {
    return;
  }
  logger_.info("Display selected: {}", displayID);
  setSelectedDisplay(displayID);
  // Also without a client: the pipeline is ready when one connects.
  if (!wantsMultiDisplayStreaming_) {
    rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
    startSingleDisplayStreaming(lastPreferredHeight_, lastPreferredFrameRate_);
  }
  controlServer().resendServerHello();
}

void StatusBarController::selectBitRate(std::int64_t bitsPerSecond) {
  if (bitsPerSecond == selectedBitRate_) {
    return;
  }
  selectedBitRate_ = bitsPerSecond;
  // An equal split, also in multi-display mode: the main/secondary split applies to new builds.
  const auto pipelineCount = static_cast<std::int64_t>(std::max<std::size_t>(displayPipelines_.size(), 1));
  const std::int64_t perDisplay = bitsPerSecond / pipelineCount;
  for (const auto& [displayID, pipeline] : displayPipelines_) {
    pipeline.encoderService->setBitRate(perDisplay);
  }
  if (activeMultiDisplayPipelineSignature_) {
    activeMultiDisplayPipelineSignature_->bitRate = bitsPerSecond;
  }
  logger_.info("Bitrate changed to {} Mbps ({} Mbps per display)", bitsPerSecond / 1'000'000, perDisplay / 1'000'000);
}

void StatusBarController::appDidBecomeActive() { recheckPermissions(); }

void StatusBarController::recheckAccessibility() {
  accessibilityCurrentlyGranted_ = dependencies_.inputBackend->isProcessTrusted(false);
  if (accessibilityCurrentlyGranted_) {
    removeAccessibilityWarning();
  } else {
    showAccessibilityWarning();
  }
}

void StatusBarController::recheckPermissions() {
  recheckAccessibility();
  screenRecordingCurrentlyGranted_ = dependencies_.captureBackend->hasScreenCaptureAccess();
  if (screenRecordingCurrentlyGranted_) {
    removeScreenRecordingWarning();
  } else {
    showScreenRecordingWarning();
  }
}

void StatusBarController::schedulePermissionRecheck() {
  dependencies_.mainQueue.postAfter(dependencies_.timing.permissionRecheckInterval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->recheckPermissions();
      self->schedulePermissionRecheck();
    }
  });
}

void StatusBarController::showAccessibilityWarning() {
  if (menuPosition(kAccessibilityWarningTag)) {
    return;
  }
  statusMenu_.insert(statusMenu_.begin(), {actionItem(kAccessibilityWarningTag, localized("mac.accessibility.menuWarning"),
                                                      [weak = weak_from_this()] {
                                                        if (auto self = weak.lock()) {
                                                          self->openAccessibilitySettings();
                                                        }
                                                      }),
                                           separator()});
  dependencies_.userInterface->setToolTip(localized("mac.accessibility.tooltip"));
  logger_.error("Accessibility permission missing — inserted menu warning");
  menuChanged();
}

void StatusBarController::showScreenRecordingWarning() {
  if (menuPosition(kScreenRecordingWarningTag)) {
    return;
  }
  // Always below the accessibility warning and its separator.
  std::size_t position = 0;
  if (const auto accessibility = menuPosition(kAccessibilityWarningTag)) {
    position = *accessibility + 1;
    if (position < statusMenu_.size() && statusMenu_[position].kind == StatusMenuItem::Kind::separator) {
      ++position;
    }
  }
  statusMenu_.insert(statusMenu_.begin() + static_cast<std::ptrdiff_t>(position),
                     {actionItem(kScreenRecordingWarningTag, localized("mac.screenRecording.menuWarning"),
                                 [weak = weak_from_this()] {
                                   if (auto self = weak.lock()) {
                                     self->openScreenRecordingSettings();
                                   }
                                 }),
                      separator()});
  logger_.error("Screen Recording permission missing — inserted menu warning");
  menuChanged();
}

bool StatusBarController::removeMenuItemAndItsSeparator(int tag) {
  const auto position = menuPosition(tag);
  if (!position) {
    return false;
  }
  const auto at = statusMenu_.begin() + static_cast<std::ptrdiff_t>(*position);
  const bool separatorFollows = *position + 1 < statusMenu_.size() &&
                                statusMenu_[*position + 1].kind == StatusMenuItem::Kind::separator;
  statusMenu_.erase(at, at + (separatorFollows ? 2 : 1));
  menuChanged();
  return true;
}

void StatusBarController::removeAccessibilityWarning() {
  dependencies_.userInterface->setToolTip(std::nullopt);
  if (removeMenuItemAndItsSeparator(kAccessibilityWarningTag)) {
    logger_.info("Accessibility permission restored — cleared menu warning");
  }
}

void StatusBarController::removeScreenRecordingWarning() {
  if (removeMenuItemAndItsSeparator(kScreenRecordingWarningTag)) {
    logger_.info("Screen Recording permission restored — cleared menu warning");
  }
}

void StatusBarController::openAccessibilitySettings() {
  openPermissionHelp(PermissionKind::accessibility, "mac.accessibility.openAlertFallback",
                     "mac.accessibility.openAlertButton");
}

void StatusBarController::openScreenRecordingSettings() {
  openPermissionHelp(PermissionKind::screenRecording, "mac.screenRecording.openAlertFallback",
                     "mac.screenRecording.openAlertButton");
}

void StatusBarController::openPermissionHelp(PermissionKind permission, const char* alertKey, const char* buttonKey) {
  const auto help = dependencies_.permissionHelp;
  if (help) {
    help->open(permission);
  }
  dependencies_.mainQueue.postAfter(dependencies_.timing.permissionHelpAlertDelay,
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
