#include "app/streaming_session.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <limits>

namespace velmora {
namespace {

std::int64_t effectiveHeight(std::int64_t preferredHeight) {
  return preferredHeight > 0 ? preferredHeight : ClientSessionState::kDefaultHeight;
}

std::int64_t effectiveFrameRate(std::int64_t preferredFrameRate) {
  return preferredFrameRate < 1 ? ClientSessionState::kMaximumFrameRate
                                : std::min(preferredFrameRate, ClientSessionState::kMaximumFrameRate);
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

BitRatePlan BitRatePlan::forDisplays(std::int64_t total, std::size_t displayCount) {
  if (displayCount <= 1) {
    return {total, 0};
  }
  return {(total * 5) / 10, (total / 2) / static_cast<std::int64_t>(displayCount - 1)};
}

std::shared_ptr<StreamingSession> StreamingSession::create(Dependencies dependencies) {
  return std::shared_ptr<StreamingSession>(new StreamingSession(std::move(dependencies)));
}

StreamingSession::StreamingSession(Dependencies dependencies) : dependencies_(std::move(dependencies)) {}

std::vector<MacDisplaySnapshot> StreamingSession::displaySnapshotsForServerHello() const {
  // In multi-display mode the client matches stream numbers with positions in this list. A
  // build still waiting for its stop barrier will number the displays in catalog order, so the
  // hello sent meanwhile lists them in that order too, not with the selected display first.
  if (clientSession_.wantsMultiDisplayStreaming) {
    return streamingDisplaySnapshots_.empty() ? MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource)
                                              : streamingDisplaySnapshots_;
  }
  return MacDisplayCatalog::routeOrderedSnapshots(MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource),
                                                  dependencies_.selectedDisplayID());
}

void StreamingSession::restartStreaming(bool reuseExistingPipelinesIfPossible) {
  if (clientSession_.wantsMultiDisplayStreaming) {
    startAllDisplayStreaming(clientSession_.lastPreferredHeight, clientSession_.lastPreferredFrameRate,
                             reuseExistingPipelinesIfPossible);
  } else {
    startSingleDisplayStreaming(clientSession_.lastPreferredHeight, clientSession_.lastPreferredFrameRate);
  }
}

void StreamingSession::forceKeyframeOnAllPipelines() {
  for (const auto& [displayID, pipeline] : displayPipelines_) {
    pipeline.encoderService->requestKeyframe();
  }
}

void StreamingSession::selectBitRate(std::int64_t bitsPerSecond) {
  if (bitsPerSecond == selectedBitRate_) {
    return;
  }
  selectedBitRate_ = bitsPerSecond;
  // A single-display pipeline is a build of one display; a multi-display build keeps its list.
  const BitRatePlan plan = BitRatePlan::forDisplays(bitsPerSecond, streamingDisplaySnapshots_.size());
  for (const auto& [displayID, pipeline] : displayPipelines_) {
    pipeline.encoderService->setBitRate(plan.forStream(pipeline.encoderService->displayID()));
  }
  if (activeMultiDisplayPipelineSignature_) {
    activeMultiDisplayPipelineSignature_->bitRate = bitsPerSecond;
  }
  logger_.info("Bitrate changed to {} Mbps ({} Mbps per display)", bitsPerSecond / 1'000'000,
               plan.primary / 1'000'000);
}

std::vector<std::shared_ptr<CancellableTask>> StreamingSession::stopCapturePipelinesForRebuild() {
  ++captureLifecycleGeneration_;
  // Every capture is silenced before any is stopped, so no report of this build arrives later.
  for (const auto& [displayID, pipeline] : displayPipelines_) {
    pipeline.captureService->setOnSampleBuffer(nullptr);
    pipeline.captureService->setOnCaptureStateChanged(nullptr);
  }
  std::vector<std::shared_ptr<CancellableTask>> stopTasks;
  for (const auto& [displayID, pipeline] : displayPipelines_) {
    if (auto task = pipeline.captureService->stop()) {
      stopTasks.push_back(std::move(task));
    }
  }
  displayPipelines_.clear();
  runningPipelineDisplayIDs_.clear();
  streamingDisplaySnapshots_.clear();
  activeMultiDisplayPipelineSignature_.reset();
  isCapturing_ = false;
  isCaptureStarting_ = false;
  return stopTasks;
}

void StreamingSession::rememberPendingCaptureStopTasks(const std::vector<std::shared_ptr<CancellableTask>>& tasks) {
  if (tasks.empty()) {
    return;
  }
  std::shared_ptr<CancellableTask> previous = pendingCaptureStopBarrier_ ? pendingCaptureStopBarrier_->task : nullptr;
  // Barriers chain: a new one completes only after every earlier one.
  auto task = CancellableTask::start([previous = std::move(previous), tasks](CancellationToken&) {
    if (previous) {
      previous->wait();
    }
    for (const auto& stopTask : tasks) {
      stopTask->wait();
    }
  });
  pendingCaptureStopBarrier_ = PendingCaptureStopBarrier{++lastBarrierID_, std::move(task)};
}

bool StreamingSession::waitForCaptureStops(std::chrono::steady_clock::duration timeout) {
  if (!pendingCaptureStopBarrier_) {
    return true;
  }
  auto stopped = std::make_shared<std::promise<void>>();
  auto done = stopped->get_future();
  pendingCaptureStopBarrier_->task->onCompletion([stopped] { stopped->set_value(); });
  return done.wait_for(timeout) == std::future_status::ready;
}

bool StreamingSession::deferredBehindBarrier(const DeferredStart& start, bool tearDownFirst) {
  if (tearDownFirst) {
    rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
  }
  if (!pendingCaptureStopBarrier_) {
    return false;
  }
  MainQueue& mainQueue = dependencies_.mainQueue;
  pendingCaptureStopBarrier_->task->onCompletion(
      [weak = weak_from_this(), &mainQueue, barrierID = pendingCaptureStopBarrier_->id,
       generation = captureLifecycleGeneration_, start] {
        mainQueue.post([weak, barrierID, generation, start] {
          if (auto self = weak.lock()) {
            self->runDeferredStart(barrierID, generation, start);
          }
        });
      });
  return true;
}

void StreamingSession::runDeferredStart(std::uint64_t barrierID, std::int64_t generation, const DeferredStart& start) {
  // A newer tear-down, a newer barrier or the end of the session cancels this start silently.
  const bool sameBarrier = pendingCaptureStopBarrier_ && pendingCaptureStopBarrier_->id == barrierID;
  if (!sameBarrier || !clientSession_.hasActiveClientSession || generation != captureLifecycleGeneration_ ||
      clientSession_.wantsMultiDisplayStreaming != start.allDisplays) {
    return;
  }
  pendingCaptureStopBarrier_.reset();
  if (start.allDisplays) {
    startAllDisplayStreaming(start.preferredHeight, start.preferredFrameRate, start.reuseExistingPipelinesIfPossible);
  } else {
    startSingleDisplayStreaming(start.preferredHeight, start.preferredFrameRate);
  }
}

DisplayPipeline StreamingSession::makePipeline(std::uint32_t displayID, std::uint16_t streamNumber, std::int64_t width,
                                               std::int64_t height, std::int64_t bitRate, std::int64_t frameRate) {
  auto capture = ScreenCaptureService::create(ScreenCaptureService::Dependencies{
      dependencies_.mainQueue, dependencies_.captureBackend,
      MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource), dependencies_.captureTiming});
  capture->setTargetDisplayID(displayID);
  const DisplayPipeline pipeline{capture, std::make_shared<VideoEncoderService>(streamNumber, dependencies_.makeEncoderSession)};
  displayPipelines_[displayID] = pipeline;
  capture->setOnCaptureStateChanged([weak = weak_from_this(), generation = captureLifecycleGeneration_, displayID,
                                     weakCapture = std::weak_ptr(capture), streamNumber](CaptureState state) {
    if (auto self = weak.lock()) {
      self->handleCaptureState(generation, displayID, weakCapture, streamNumber, state);
    }
  });

  // Set before the session exists, so that its first output already finds the handler.
  pipeline.encoderService->onEncodedNALUnits = [weakServer = dependencies_.videoServer](
                                                   std::vector<NALUnit> nalUnits, const VideoFrameMetadata& metadata) {
    if (auto server = weakServer.lock()) {
      server->send(nalUnits, metadata);
    }
  };
  pipeline.encoderService->configure(width, height, bitRate, frameRate);
  // Only for its two log lines, which say what the display offers; the capture follows the
  // client's preferred height instead.
  displayCaptureSize(displayID, *dependencies_.displaySource);
  // The encoder asks for each frame when it can take it, so no frame is grabbed only to be dropped.
  capture->setConfiguration(CaptureConfiguration{width, height, frameRate, kPixelFormat420v, true});
  capture->setOnSampleBuffer([weakEncoder = std::weak_ptr(pipeline.encoderService)](const SampleBuffer& sampleBuffer) {
    if (auto encoder = weakEncoder.lock()) {
      encoder->encode(sampleBuffer);
    }
  });
  return pipeline;
}

void StreamingSession::handleCaptureState(std::int64_t generation, std::uint32_t displayID,
                                          const std::weak_ptr<ScreenCaptureService>& capture, std::size_t streamNumber,
                                          CaptureState state) {
  const auto found = displayPipelines_.find(displayID);
  const auto stored = found == displayPipelines_.end() ? nullptr : found->second.captureService;
  if (generation != captureLifecycleGeneration_ || stored != capture.lock()) {
    return;
  }
  if (state == CaptureState::running) {
    runningPipelineDisplayIDs_.insert(displayID);
  } else {
    runningPipelineDisplayIDs_.erase(displayID);
  }
  if (streamNumber == 0) {
    isCapturing_ = state == CaptureState::running;
    isCaptureStarting_ = state == CaptureState::starting;
  }
}

void StreamingSession::startSingleDisplayStreaming(std::int64_t preferredHeight, std::int64_t preferredFrameRate) {
  const DeferredStart again{false, preferredHeight, preferredFrameRate, false};
  if (deferredBehindBarrier(again, false)) {
    return;
  }

  const auto snapshots = MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource);
  const auto selected = dependencies_.selectedDisplayID();
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
    dependencies_.setSelectedDisplay(std::nullopt);
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

  // The new pipeline is built only once the old captures have stopped.
  if (deferredBehindBarrier(again, true)) {
    return;
  }
  // Single-display frames always carry stream number 0.
  const auto pipeline =
      makePipeline(display.displayID, 0, *width, height, BitRatePlan::forDisplays(selectedBitRate_, 1).primary, frameRate);
  isCaptureStarting_ = true;
  pipeline.captureService->start();
}

void StreamingSession::startAllDisplayStreaming(std::int64_t preferredHeight, std::int64_t preferredFrameRate,
                                                bool reuseExistingPipelinesIfPossible) {
  if (deferredBehindBarrier(DeferredStart{true, preferredHeight, preferredFrameRate, reuseExistingPipelinesIfPossible},
                            false)) {
    return;
  }

  auto snapshots = MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource);
  if (snapshots.empty()) {
    logger_.error("No active physical displays available for multi-display streaming");
    tearDown();
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
  const BitRatePlan plan = BitRatePlan::forDisplays(selectedBitRate_, snapshots.size());
  logger_.info("startAllDisplayStreaming: {} displays, mainBitRate={}Mbps, subBitRate={}Mbps/sub", snapshots.size(),
               plan.primary / 1'000'000, plan.secondary / 1'000'000);

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

  // A rebuild always starts from nothing, after the old captures have stopped.
  if (!displayPipelines_.empty()) {
    deferredBehindBarrier(DeferredStart{true, preferredHeight, preferredFrameRate, false}, true);
    return;
  }

  streamingDisplaySnapshots_ = snapshots;
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
    const std::int64_t bitRate = plan.forStream(index);
    const std::int64_t rate = index == 0 ? frameRate : kSecondaryFrameRate;
    const auto pipeline =
        makePipeline(display.displayID, static_cast<std::uint16_t>(index), *width, height, bitRate, rate);
    logger_.info("Pipeline[{}] display={} {}x{}@{}fps {}Mbps", index, display.displayID, *width, height, rate,
                 bitRate / 1'000'000);
    logger_.info("Starting capture for display {} (index={}, {}x{})", display.displayID, index, *width, height);
    pipeline.captureService->start();
  }
  isCapturing_ = false;
  isCaptureStarting_ = true;
  activeMultiDisplayPipelineSignature_ = signature;
}

}  // namespace velmora
