// The controller's pipelines: one display streamed at a time, or every display at once.
#include <algorithm>
#include <cmath>
#include <limits>

#include "app/status_bar_controller.h"

namespace velmora {
namespace {

std::int64_t effectiveHeight(std::int64_t preferredHeight) {
  return preferredHeight > 0 ? preferredHeight : StatusBarController::kDefaultHeight;
}

std::int64_t effectiveFrameRate(std::int64_t preferredFrameRate) {
  return preferredFrameRate < 1 ? StatusBarController::kMaximumFrameRate
                                : std::min(preferredFrameRate, StatusBarController::kMaximumFrameRate);
}

// The width that keeps the display's aspect ratio at `height`, truncated; nothing for a display
// whose frame gives no usable ratio.
std::optional<std::int64_t> widthForHeight(const MacDisplaySnapshot& display, std::int64_t height) {
  const double width = static_cast<double>(height) * (display.frame.width / display.frame.height);
  if (!std::isfinite(width) || width < 1 || width > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(width);
}

}  // namespace

DisplayPipeline StatusBarController::makePipeline(std::uint32_t displayID, std::uint16_t streamNumber) {
  auto capture = ScreenCaptureService::create(ScreenCaptureService::Dependencies{
      dependencies_.mainQueue, dependencies_.captureBackend, currentSnapshots(), dependencies_.timing.capture});
  capture->setTargetDisplayID(displayID);
  auto encoder = std::make_shared<VideoEncoderService>(streamNumber, dependencies_.makeEncoderSession);
  return DisplayPipeline{std::move(capture), std::move(encoder)};
}

void StatusBarController::connectPipeline(const DisplayPipeline& pipeline, std::int64_t width, std::int64_t height,
                                          std::int64_t bitRate, std::int64_t frameRate) {
  // Set before the session exists, so that its first output already finds the handler. The
  // handler holds the video server, not the controller: an encoder thread must never be the one
  // that releases the controller, which owns that encoder.
  pipeline.encoderService->onEncodedNALUnits = [weakServer = std::weak_ptr(videoServer_)](
                                                   std::vector<NALUnit> nalUnits, const VideoFrameMetadata& metadata) {
    if (auto server = weakServer.lock()) {
      server->send(nalUnits, metadata);
    }
  };
  pipeline.encoderService->configure(width, height, bitRate, frameRate);
  // Only for its two log lines, which say what the display offers; the capture follows the
  // client's preferred height instead.
  displayCaptureSize(pipeline.captureService->targetDisplayID(), *dependencies_.displaySource);
  // The encoder asks for each frame when it can take it, so no frame is grabbed only to be dropped.
  pipeline.captureService->setConfiguration(CaptureConfiguration{width, height, frameRate, kPixelFormat420v, true});
  pipeline.captureService->setOnSampleBuffer(
      [weakEncoder = std::weak_ptr(pipeline.encoderService)](const SampleBuffer& sampleBuffer) {
        if (auto encoder = weakEncoder.lock()) {
          encoder->encode(sampleBuffer);
        }
      });
}

bool StatusBarController::isCurrentPipelineReport(std::int64_t generation, std::uint32_t displayID,
                                                  const std::weak_ptr<ScreenCaptureService>& capture) const {
  if (generation != captureLifecycleGeneration_) {
    return false;
  }
  const auto found = displayPipelines_.find(displayID);
  const auto stored = found == displayPipelines_.end() ? nullptr : found->second.captureService;
  return stored == capture.lock();
}

void StatusBarController::startSingleDisplayStreaming(std::int64_t preferredHeight, std::int64_t preferredFrameRate) {
  if (pendingCaptureStopBarrier_) {
    scheduleDeferredStart(*pendingCaptureStopBarrier_,
                          DeferredStart{StreamingMode::singleDisplay, preferredHeight, preferredFrameRate, false});
    return;
  }

  const auto snapshots = currentSnapshots();
  const auto selected = selectedDisplayID();
  auto chosen = std::find_if(snapshots.begin(), snapshots.end(), [&](const MacDisplaySnapshot& snapshot) {
    return selected && snapshot.displayID == *selected;
  });
  if (chosen == snapshots.end()) {
    chosen = snapshots.begin();
  }
  if (chosen == snapshots.end()) {
    return;
  }
  const MacDisplaySnapshot display = *chosen;
  if (selected && *selected != display.displayID) {
    logger_.info("Selected display {} is not available — falling back to {}", *selected, display.displayID);
    setSelectedDisplay(std::nullopt);
  }

  const std::int64_t height = effectiveHeight(preferredHeight);
  const std::int64_t frameRate = effectiveFrameRate(preferredFrameRate);
  const auto width = widthForHeight(display, height);
  if (!width) {
    logger_.error("Display {} has no usable size ({}x{} points) — not streaming it", display.displayID,
                  display.frame.width, display.frame.height);
    return;
  }
  logger_.info("startSingleDisplayStreaming: display={} {}x{}@{}fps {}Mbps", display.displayID, *width, height,
               frameRate, selectedBitRate_ / 1'000'000);

  const auto stopTasks = stopCapturePipelinesForRebuild();
  if (!stopTasks.empty()) {
    // The new pipeline is built only once the old captures have stopped.
    rememberPendingCaptureStopTasks(stopTasks);
    scheduleDeferredStart(*pendingCaptureStopBarrier_,
                          DeferredStart{StreamingMode::singleDisplay, preferredHeight, preferredFrameRate, false});
    return;
  }

  // Single-display frames always carry stream number 0.
  const DisplayPipeline pipeline = makePipeline(display.displayID, 0);
  displayPipelines_[display.displayID] = pipeline;
  const std::int64_t generation = captureLifecycleGeneration_;
  pipeline.captureService->setOnCaptureStateChanged(
      [weak = weak_from_this(), generation, displayID = display.displayID,
       capture = std::weak_ptr(pipeline.captureService)](CaptureState state) {
        if (auto self = weak.lock()) {
          self->handleSingleDisplayState(generation, displayID, capture, state);
        }
      });
  connectPipeline(pipeline, *width, height, selectedBitRate_, frameRate);
  isCaptureStarting_ = true;
  pipeline.captureService->start();
}

void StatusBarController::handleSingleDisplayState(std::int64_t generation, std::uint32_t displayID,
                                                   const std::weak_ptr<ScreenCaptureService>& capture,
                                                   CaptureState state) {
  if (!isCurrentPipelineReport(generation, displayID, capture)) {
    return;
  }
  switch (state) {
    case CaptureState::idle:
      runningPipelineDisplayIDs_.erase(displayID);
      isCapturing_ = false;
      isCaptureStarting_ = false;
      break;
    case CaptureState::starting:
      runningPipelineDisplayIDs_.erase(displayID);
      isCapturing_ = false;
      isCaptureStarting_ = true;
      break;
    case CaptureState::running:
      runningPipelineDisplayIDs_.insert(displayID);
      isCapturing_ = true;
      isCaptureStarting_ = false;
      break;
  }
}

void StatusBarController::startAllDisplayStreaming(std::int64_t preferredHeight, std::int64_t preferredFrameRate,
                                                   bool reuseExistingPipelinesIfPossible) {
  if (pendingCaptureStopBarrier_) {
    scheduleDeferredStart(*pendingCaptureStopBarrier_, DeferredStart{StreamingMode::allDisplays, preferredHeight,
                                                                     preferredFrameRate, reuseExistingPipelinesIfPossible});
    return;
  }

  auto snapshots = currentSnapshots();
  if (snapshots.empty()) {
    logger_.error("No active physical displays available for multi-display streaming");
    rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
    return;
  }
  // Stream numbers travel in 16 bits.
  constexpr std::size_t kMaximumStreams = 65536;
  if (snapshots.size() > kMaximumStreams) {
    logger_.error("{} displays are more than the {} that can be streamed at once — streaming the first {}",
                  snapshots.size(), kMaximumStreams, kMaximumStreams);
    snapshots.resize(kMaximumStreams);
  }

  const std::int64_t height = effectiveHeight(preferredHeight);
  const std::int64_t frameRate = effectiveFrameRate(preferredFrameRate);
  const std::int64_t total = selectedBitRate_;
  const auto count = static_cast<std::int64_t>(snapshots.size());
  const std::int64_t mainBitRate = count == 1 ? total : (total * 5) / 10;
  const std::int64_t subBitRate = count == 1 ? 0 : (total / 2) / (count - 1);
  logger_.info("startAllDisplayStreaming: {} displays, mainBitRate={}Mbps, subBitRate={}Mbps/sub", count,
               mainBitRate / 1'000'000, subBitRate / 1'000'000);

  const MultiDisplayPipelineReuseSignature signature{height, frameRate, selectedBitRate_};
  std::set<std::uint32_t> ids;
  for (const auto& snapshot : snapshots) {
    ids.insert(snapshot.displayID);
  }
  std::set<std::uint32_t> pipelineIDs;
  for (const auto& [displayID, pipeline] : displayPipelines_) {
    pipelineIDs.insert(displayID);
  }
  if (reuseExistingPipelinesIfPossible && (isCapturing_ || isCaptureStarting_) && !ids.empty() && ids == pipelineIDs &&
      ids == runningPipelineDisplayIDs_ && activeMultiDisplayPipelineSignature_ == signature) {
    // The client's UDP hello will force the keyframes.
    logger_.info("Multi-display capture already matches current topology and settings — waiting for client UDP connection");
    return;
  }

  if (!displayPipelines_.empty()) {
    // A rebuild always starts from nothing, after the old captures have stopped.
    rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
    if (pendingCaptureStopBarrier_) {
      scheduleDeferredStart(*pendingCaptureStopBarrier_,
                            DeferredStart{StreamingMode::allDisplays, preferredHeight, preferredFrameRate, false});
    }
    return;
  }

  streamingDisplaySnapshots_ = snapshots;
  const std::int64_t generation = captureLifecycleGeneration_;
  for (std::size_t index = 0; index < snapshots.size(); ++index) {
    const auto& display = snapshots[index];
    if (displayPipelines_.contains(display.displayID)) {
      continue;
    }
    const auto width = widthForHeight(display, height);
    if (!width) {
      logger_.error("Display {} has no usable size ({}x{} points) — not streaming it", display.displayID,
                    display.frame.width, display.frame.height);
      continue;
    }
    const std::int64_t bitRate = index == 0 ? mainBitRate : subBitRate;
    const std::int64_t rate = index == 0 ? frameRate : kSecondaryFrameRate;
    const DisplayPipeline pipeline = makePipeline(display.displayID, static_cast<std::uint16_t>(index));
    displayPipelines_[display.displayID] = pipeline;
    pipeline.captureService->setOnCaptureStateChanged(
        [weak = weak_from_this(), generation, displayID = display.displayID,
         capture = std::weak_ptr(pipeline.captureService), index](CaptureState state) {
          if (auto self = weak.lock()) {
            self->handleMultiDisplayState(generation, displayID, capture, index, state);
          }
        });
    connectPipeline(pipeline, *width, height, bitRate, rate);
    logger_.info("Pipeline[{}] display={} {}x{}@{}fps {}Mbps", index, display.displayID, *width, height, rate,
                 bitRate / 1'000'000);
    logger_.info("Starting capture for display {} (index={}, {}x{})", display.displayID, index, *width, height);
    pipeline.captureService->start();
  }
  isCapturing_ = false;
  isCaptureStarting_ = true;
  activeMultiDisplayPipelineSignature_ = signature;
}

void StatusBarController::handleMultiDisplayState(std::int64_t generation, std::uint32_t displayID,
                                                  const std::weak_ptr<ScreenCaptureService>& capture, std::size_t index,
                                                  CaptureState state) {
  if (!isCurrentPipelineReport(generation, displayID, capture)) {
    return;
  }
  if (state == CaptureState::running) {
    runningPipelineDisplayIDs_.insert(displayID);
  } else {
    runningPipelineDisplayIDs_.erase(displayID);
  }
  // The primary display alone decides the mode flags.
  if (index != 0) {
    return;
  }
  isCapturing_ = state == CaptureState::running;
  isCaptureStarting_ = state == CaptureState::starting;
}

}  // namespace velmora
