// The controller's answer to the desktop's screens changing: debounced, then rebuild, suspend or resume.
#include <algorithm>

#include "app/status_bar_controller.h"

namespace velmora {

void StatusBarController::screenParametersDidChange() {
  logger_.info("didChangeScreenParameters — scheduling debounced rebuild (displays now={})", currentSnapshots().size());
  // Each change supersedes the handling that an earlier one scheduled.
  const std::uint64_t change = ++lastScreenChange_;
  dependencies_.mainQueue.postAfter(dependencies_.timing.screenChangeDebounce, [weak = weak_from_this(), change] {
    auto self = weak.lock();
    if (self && change == self->lastScreenChange_) {
      self->handleScreenChangeSettled();
    }
  });
}

void StatusBarController::cancelPendingScreenChange() { ++lastScreenChange_; }

void StatusBarController::handleScreenChangeSettled() {
  const auto snapshots = currentSnapshots();
  // The capture of a display that went away ends on its own before the change settles: during a
  // session, pipelines that exist count as active capture, so that they are rebuilt (or
  // suspended) instead of being left without a picture.
  const bool active = isCapturing_ || isCaptureStarting_ || (hasActiveClientSession_ && !displayPipelines_.empty());

  if (snapshots.empty()) {
    if (active) {
      logger_.error("No active displays available (clamshell close?) — stopping pipelines, no ServerHello");
      rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
      captureSuspendedForNoScreens_ = hasActiveClientSession_;
    } else {
      logger_.info("Screen change while idle — updating state only");
    }
    return;
  }

  if (!active) {
    if (captureSuspendedForNoScreens_ && hasActiveClientSession_) {
      logger_.info("Screens returned while a client session is active — resuming capture");
      captureSuspendedForNoScreens_ = false;
      restartStreaming(false);
      controlServer().resendServerHello();
    } else {
      logger_.info("Screen change while idle — updating state only");
    }
    return;
  }

  captureSuspendedForNoScreens_ = false;
  const auto selected = selectedDisplayID();
  if (selected && std::none_of(snapshots.begin(), snapshots.end(), [&](const MacDisplaySnapshot& snapshot) {
        return snapshot.displayID == *selected;
      })) {
    logger_.info("Previously selected display {} is gone — falling back to main", *selected);
    setSelectedDisplay(std::nullopt);
  }
  // Rebuilt on every settled change, also when only a resolution changed.
  if (wantsMultiDisplayStreaming_) {
    logger_.info("Rebuilding multi-display pipelines after screen change");
  } else {
    logger_.info("Rebuilding single-display pipeline after screen change");
    rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
  }
  restartStreaming(false);
  controlServer().resendServerHello();
}

}  // namespace velmora
