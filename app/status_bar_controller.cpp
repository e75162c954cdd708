#include "app/status_bar_controller.h"

#include <sys/random.h>

#include <cerrno>
#include <fmt/format.h>
#include <future>
#include <stdexcept>

#include "app/localization.h"

namespace velmora {

std::shared_ptr<StatusBarController> StatusBarController::create(Dependencies dependencies) {
  std::shared_ptr<StatusBarController> controller(new StatusBarController(std::move(dependencies)));
  controller->createServers();
  controller->setupMenu();
  controller->dependencies_.userInterface->setMenuSource(controller);
  controller->schedulePermissionRecheck();
  // Checked once more now that the menu exists, as its warnings follow these flags.
  controller->recheckPermissions();
  return controller;
}

StatusBarController::StatusBarController(Dependencies dependencies)
    : dependencies_(std::move(dependencies)),
      eventInjector_(EventInjectorService::Dependencies{dependencies_.inputBackend, dependencies_.timing.injector}),
      pairingCode_(generatePairingCode()),
      accessibilityCurrentlyGranted_(dependencies_.inputBackend->isProcessTrusted()),
      screenRecordingCurrentlyGranted_(dependencies_.captureBackend->hasScreenCaptureAccess()) {}

StatusBarController::~StatusBarController() = default;

void StatusBarController::setupMenu() {
  const auto call = [weak = weak_from_this()](void (StatusBarController::*operation)()) {
    return [weak, operation] {
      if (auto self = weak.lock()) {
        ((*self).*operation)();
      }
    };
  };
  statusMenu_ = std::make_unique<StatusMenu>(
      dependencies_.userInterface,
      StatusMenu::Actions{call(&StatusBarController::startServer), call(&StatusBarController::stopServer),
                          call(&StatusBarController::showVerificationCode), dependencies_.quit,
                          call(&StatusBarController::openAccessibilitySettings),
                          call(&StatusBarController::openScreenRecordingSettings)});
}

std::string StatusBarController::formatPairingCode(std::uint32_t value) { return fmt::format("{:04}", value % 10000); }

std::string StatusBarController::generatePairingCode() {
  // 4294960000 is the largest multiple of 10000 below 2^32: rejecting draws above it keeps every
  // code equally likely.
  constexpr std::uint32_t kUnbiasedLimit = 4294960000u;
  while (true) {
    std::uint32_t value = 0;
    const auto count = getrandom(&value, sizeof value, 0);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count != static_cast<ssize_t>(sizeof value)) {
      throw std::runtime_error("the system's secure random source is unavailable");
    }
    if (value < kUnbiasedLimit) {
      return formatPairingCode(value % 10000);
    }
  }
}

template <class... Parameters>
std::function<void(Parameters...)> StatusBarController::postedToMainQueue(
    void (StatusBarController::*method)(Parameters...)) {
  return [weak = weak_from_this(), &mainQueue = dependencies_.mainQueue, method](Parameters... arguments) {
    mainQueue.post([weak, method, ... copies = std::decay_t<Parameters>(arguments)] {
      if (auto self = weak.lock()) {
        ((*self).*method)(copies...);
      }
    });
  };
}

void StatusBarController::createServers() {
  controlServer_ = ControlChannelServer::create(std::move(dependencies_.controlServer), controlServerCallbacks());
  controlServer_->setRequiredPairingCode(pairingCode_);
  videoServer_ = VideoStreamServer::create(std::move(dependencies_.videoServer),
                                           {postedToMainQueue(&StatusBarController::videoClientReady)});
  eventInjector_.onAccessibilityPermissionLost = postedToMainQueue(&StatusBarController::recheckAccessibility);
}

ControlChannelServer::Callbacks StatusBarController::controlServerCallbacks() {
  ControlChannelServer::Callbacks server;
  std::weak_ptr<StatusBarController> weak = weak_from_this();

  // These run on the control server's network queue before anything is posted: the client's UDP
  // hello may already be on its way when it connects, a disconnected client's datagrams must stop
  // counting at once, and the requests are logged in the order they arrive.
  server.onClientConnected = [weak, posted = postedToMainQueue(&StatusBarController::clientDidConnect)](
                                 const ClientHello& hello, const std::shared_ptr<Connection>&,
                                 const std::optional<std::string>& host) {
    if (auto self = weak.lock()) {
      self->videoServer().setAllowedClientHost(host);
      posted(hello);
    }
  };
  server.onClientDisconnected = [weak, posted = postedToMainQueue(&StatusBarController::clientDidDisconnect)] {
    if (auto self = weak.lock()) {
      self->videoServer().disconnectClient();
    }
    posted();
  };
  server.onDisplaySwitchRequested = [weak, posted = postedToMainQueue(&StatusBarController::displaySwitchRequested)](
                                        std::uint32_t displayID) {
    if (auto self = weak.lock()) {
      self->logger_.info("VP requested display switch to displayID={}", displayID);
      posted(displayID);
    }
  };
  server.onMultiDisplayRequested = [weak, posted = postedToMainQueue(&StatusBarController::multiDisplayRequested)](
                                       bool enabled) {
    if (auto self = weak.lock()) {
      self->logger_.info("Multi-display mode: {}", enabled ? 1 : 0);
      posted(enabled);
    }
  };

  // Everything else is handled on the main thread only.
  server.onControlMessage = postedToMainQueue(&StatusBarController::handleControlMessage);
  server.onClientTrusted = postedToMainQueue(&StatusBarController::dismissVerificationCodePanel);
  server.onPairingRequired = postedToMainQueue(&StatusBarController::showVerificationCode);
  server.onKeyframeRequested = postedToMainQueue(&StatusBarController::keyframeRequestedByClient);
  server.displaySnapshotProvider = [weak, source = dependencies_.displaySource] {
    if (auto self = weak.lock()) {
      return self->displaySnapshotsForServerHello();
    }
    return MacDisplayCatalog::currentSnapshots(*source);
  };
  return server;
}

void StatusBarController::handleControlMessage(const ControlMessage& message) { eventInjector_.handle(message); }

void StatusBarController::keyframeRequestedByClient() {
  logger_.info("Keyframe requested by client");
  forceKeyframeOnAllPipelines();
}

void StatusBarController::videoClientReady() {
  logger_.info("Video client connected via UDP — forcing keyframe");
  forceKeyframeOnAllPipelines();
}

std::vector<MacDisplaySnapshot> StatusBarController::currentSnapshots() const {
  return MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource);
}

std::vector<MacDisplaySnapshot> StatusBarController::displaySnapshotsForServerHello() const {
  // In multi-display mode the client matches stream numbers with positions in this list. A
  // build still waiting for its stop barrier will number the displays in catalog order, so the
  // hello sent meanwhile lists them in that order too, not with the selected display first.
  if (wantsMultiDisplayStreaming_) {
    return streamingDisplaySnapshots_.empty() ? currentSnapshots() : streamingDisplaySnapshots_;
  }
  return MacDisplayCatalog::routeOrderedSnapshots(currentSnapshots(), selectedDisplayID());
}

std::optional<std::uint32_t> StatusBarController::selectedDisplayID() const { return controlServer().selectedDisplayID(); }

void StatusBarController::setSelectedDisplay(std::optional<std::uint32_t> displayID) {
  controlServer().setSelectedDisplayID(displayID);
  // The injector maps pointer positions on its own thread rules; it is told, not asked.
  eventInjector_.setTargetDisplayID(displayID);
}

void StatusBarController::restartStreaming(bool reuseExistingPipelinesIfPossible) {
  if (wantsMultiDisplayStreaming_) {
    startAllDisplayStreaming(lastPreferredHeight_, lastPreferredFrameRate_, reuseExistingPipelinesIfPossible);
  } else {
    startSingleDisplayStreaming(lastPreferredHeight_, lastPreferredFrameRate_);
  }
}

void StatusBarController::clientDidConnect(const ClientHello& hello) {
  updateStatusMenu(localizedFormat("mac.menu.status.connected", {hello.deviceName}));
  hasActiveClientSession_ = true;
  captureSuspendedForNoScreens_ = false;
  // Kept as received: the start operations clamp them where they are used.
  lastPreferredHeight_ = hello.preferredHeight;
  lastPreferredFrameRate_ = hello.preferredFrameRate;
  eventInjector_.setTargetDisplayID(selectedDisplayID());
  restartStreaming(true);
  controlServer().resendServerHello();
}

void StatusBarController::clientDidDisconnect() {
  hasActiveClientSession_ = false;
  wantsMultiDisplayStreaming_ = false;
  setSelectedDisplay(std::nullopt);
  rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
  logger_.info("Client disconnected — capture pipeline and multi-display state reset");
  updateStatusMenu(localized("mac.menu.status.waiting"));
}

void StatusBarController::displaySwitchRequested(std::uint32_t displayID) {
  // Not checked against the displays here: the single-display start falls back when it is gone.
  setSelectedDisplay(displayID);
  if (!wantsMultiDisplayStreaming_) {
    rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
    startSingleDisplayStreaming(lastPreferredHeight_, lastPreferredFrameRate_);
  }
  controlServer().resendServerHello();
}

void StatusBarController::multiDisplayRequested(bool enabled) {
  wantsMultiDisplayStreaming_ = enabled;
  rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
  restartStreaming(true);
  controlServer().resendServerHello();
}

void StatusBarController::forceKeyframeOnAllPipelines() {
  for (const auto& [displayID, pipeline] : displayPipelines_) {
    pipeline.encoderService->requestKeyframe();
  }
}

void StatusBarController::startServer() {
  controlServer().start();
  videoServer().start();
  updateStatusMenu(localized("mac.menu.status.waiting"));
  dependencies_.mainQueue.postAfter(dependencies_.timing.verificationPanelDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->presentVerificationCodePanel(false);
    }
  });
}

void StatusBarController::stopServer() {
  dismissVerificationCodePanel();
  rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild());
  videoServer().disconnectClient();
  videoServer().stopCompletely();
  controlServer().stop();
  updateStatusMenu(localized("mac.menu.status.serverStopped"));
}

void StatusBarController::shutdown(std::chrono::steady_clock::duration timeout) {
  cancelPendingScreenChange();
  stopServer();
  if (!pendingCaptureStopBarrier_) {
    return;
  }
  auto stopped = std::make_shared<std::promise<void>>();
  auto done = stopped->get_future();
  pendingCaptureStopBarrier_->task->onCompletion([stopped] { stopped->set_value(); });
  if (done.wait_for(timeout) != std::future_status::ready) {
    logger_.error("Captures did not stop within {} ms; quitting anyway",
                  std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count());
  }
}

std::vector<std::shared_ptr<CancellableTask>> StatusBarController::stopCapturePipelinesForRebuild() {
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

void StatusBarController::rememberPendingCaptureStopTasks(const std::vector<std::shared_ptr<CancellableTask>>& tasks) {
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

void StatusBarController::scheduleDeferredStart(const PendingCaptureStopBarrier& barrier, DeferredStart start) {
  MainQueue& mainQueue = dependencies_.mainQueue;
  barrier.task->onCompletion(
      [weak = weak_from_this(), &mainQueue, barrierID = barrier.id, generation = captureLifecycleGeneration_, start] {
        mainQueue.post([weak, barrierID, generation, start] {
          if (auto self = weak.lock()) {
            self->runDeferredStart(barrierID, generation, start);
          }
        });
      });
}

void StatusBarController::runDeferredStart(std::uint64_t barrierID, std::int64_t generation, const DeferredStart& start) {
  // A newer tear-down, a newer barrier or the end of the session cancels this start silently.
  const bool sameBarrier = pendingCaptureStopBarrier_ && pendingCaptureStopBarrier_->id == barrierID;
  const bool sameMode = wantsMultiDisplayStreaming_ == (start.mode == StreamingMode::allDisplays);
  if (!sameBarrier || !hasActiveClientSession_ || generation != captureLifecycleGeneration_ || !sameMode) {
    return;
  }
  pendingCaptureStopBarrier_.reset();
  if (start.mode == StreamingMode::allDisplays) {
    startAllDisplayStreaming(start.preferredHeight, start.preferredFrameRate, start.reuseExistingPipelinesIfPossible);
  } else {
    startSingleDisplayStreaming(start.preferredHeight, start.preferredFrameRate);
  }
}

void StatusBarController::updateStatusMenu(std::string text) {
  dependencies_.mainQueue.post([weak = weak_from_this(), text = std::move(text)] {
    auto self = weak.lock();
    if (!self) {
      return;
    }
    self->statusMenu_->setStatus(text);
  });
}

void StatusBarController::presentVerificationCodePanel(bool force) {
  if (!force && controlServer().hasTrustedClients()) {
    return;
  }
  logger_.info("Presenting verification code panel (force={})", force ? 1 : 0);
  std::string spacedCode;
  for (const char digit : pairingCode_) {
    if (!spacedCode.empty()) {
      spacedCode += ' ';
    }
    spacedCode += digit;
  }
  dependencies_.userInterface->presentVerificationCode(VerificationCodePanelContent{
      localized("mac.verification.title"), localized("mac.verification.message"), pairingCode_, spacedCode});
}

void StatusBarController::dismissVerificationCodePanel() {
  logger_.info("Dismissing verification code panel");
  dependencies_.userInterface->dismissVerificationCode();
}

}  // namespace velmora
