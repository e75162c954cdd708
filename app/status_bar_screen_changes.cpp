// The controller's answer to the desktop's screens changing: debounced, then rebuild, suspend or resume.
#include <algorithm>

#include "app/status_bar_controller.h"

namespace velmora {

void StatusBarController::screenParametersDidChange() {
  logger_.info("didChangeScreenParameters — scheduling debounced rebuild (displays now={})", currentSnapshots().size());
  if (screenChangeTask_) {
    *screenChangeTask_ = true;
  }
  auto cancelled = std::make_shared<bool>(false);
  screenChangeTask_ = cancelled;
  dependencies_.mainQueue.postAfter(dependencies_.timing.screenChangeDebounce, [weak = weak_from_this(), cancelled] {
    auto self = weak.lock();
    if (!self || *cancelled) {
      return;
    }
    self->screenChangeTask_.reset();
    self->handleScreenChangeSettled();
  });
}

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
      if (wantsMultiDisplayStreaming_) {
        startAllDisplayStreaming(lastPreferredHeight_, lastPreferredFrameRate_, false);
      } else {
        startSingleDisplayStreaming(lastPreferredHeight_, lastPreferredFrameRate_);
      }
      controlServer_->resendServerHello();
    } else {
      logger_.info("Screen change while idle — updating state only");
    }
    return;
  }

  captureSuspendedForNoScreens_ = false;
  if (selectedDisplayID_ && std::none_of(snapshots.begin(), snapshots.end(), [&](const MacDisplaySnapshot& snapshot) {
        return snapshot.displayID == *selectedDisplayID_;
      })) {
    logger_.info("Previously selected display {} is gone — falling back to main", *selectedDisplayID_);
    setSelectedDisplayEverywhere(std::nullopt);
  }
  // Rebuilt on every settled change, also when only a resolution changed.
  if (wantsMultiDisplayStreaming_) {
    logger_.info("Rebuilding multi-display pipelines after screen change");
    startAllDisplayStreaming(lastPreferredHeight_, lastPreferredFrameRate_, false);
  } else {
    logger_.info("Rebuilding single-display pipeline after screen change");
    rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
    startSingleDisplayStreaming(lastPreferredHeight_, lastPreferredFrameRate_);
  }
  controlServer_->resendServerHello();
}

}  // namespace velmora
