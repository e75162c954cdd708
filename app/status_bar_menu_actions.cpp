// The controller's answers to its status menu: the display and bit-rate choosers, and the
// permission checks behind the menu's warnings.
#include <algorithm>

#include "app/localization.h"
#include "app/status_bar_controller.h"

namespace velmora {

const std::vector<StatusBarController::BitRateOption>& StatusBarController::bitRateOptions() {
  static const std::vector<BitRateOption> options = {
      {"10 Mbps", 10'000'000}, {"20 Mbps", 20'000'000}, {"30 Mbps", 30'000'000}, {"50 Mbps", 50'000'000}};
  return options;
}

void StatusBarController::menuWillOpen(bool alternateKeyHeld) {
  statusMenu_->setFingerprintShown(alternateKeyHeld);
  rebuildDisplaySubmenu();
  rebuildBitrateSubmenu();
}

void StatusBarController::rebuildDisplaySubmenu() {
  std::vector<StatusMenuItem> entries;
  const auto selected = selectedDisplayID();
  for (const auto& snapshot : currentSnapshots()) {
    const auto width = static_cast<std::int64_t>(snapshot.frame.width);
    const auto height = static_cast<std::int64_t>(snapshot.frame.height);
    const bool checked = selected ? *selected == snapshot.displayID : snapshot.isMain;
    entries.push_back(StatusMenu::checkedEntry(
        localizedFormat(snapshot.isMain ? "mac.menu.displayItem.mainFormat" : "mac.menu.displayItem.format",
                        {snapshot.displayID, width, height}),
        checked, [weak = weak_from_this(), displayID = snapshot.displayID] {
          if (auto self = weak.lock()) {
            self->selectDisplay(displayID);
          }
        }));
  }
  statusMenu_->setSubmenu(StatusMenu::kDisplayMenuTag, std::move(entries));
}

void StatusBarController::rebuildBitrateSubmenu() {
  std::vector<StatusMenuItem> entries;
  for (const auto& option : bitRateOptions()) {
    entries.push_back(
        StatusMenu::checkedEntry(option.label, option.bitsPerSecond == selectedBitRate_,
                    [weak = weak_from_this(), bitsPerSecond = option.bitsPerSecond] {
                      if (auto self = weak.lock()) {
                        self->selectBitRate(bitsPerSecond);
                      }
                    }));
  }
  statusMenu_->setSubmenu(StatusMenu::kBitRateMenuTag, std::move(entries));
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
  accessibilityCurrentlyGranted_ = dependencies_.inputBackend->isProcessTrusted();
  statusMenu_->setAccessibilityMissing(!accessibilityCurrentlyGranted_);
}

void StatusBarController::recheckPermissions() {
  recheckAccessibility();
  screenRecordingCurrentlyGranted_ = dependencies_.captureBackend->hasScreenCaptureAccess();
  statusMenu_->setScreenRecordingMissing(!screenRecordingCurrentlyGranted_);
}

void StatusBarController::schedulePermissionRecheck() {
  dependencies_.mainQueue.postAfter(dependencies_.timing.permissionRecheckInterval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->recheckPermissions();
      self->schedulePermissionRecheck();
    }
  });
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
