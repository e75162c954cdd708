#include "app/status_bar_controller.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "app/control_adapter.h"
#include "app/localization.h"
#include "app/pairing_code.h"
#include "platform/log/printable.h"

namespace velmora {

namespace {

// Calls `operation` with the controller if it still exists then: its parts hold it weakly, as it
// owns them.
template <class Operation>
auto withController(std::weak_ptr<StatusBarController> weak, Operation operation) {
  return [weak = std::move(weak), operation](auto... arguments) {
    using Result = decltype(operation(std::declval<StatusBarController&>(), arguments...));
    if (auto controller = weak.lock()) {
      return operation(*controller, arguments...);
    }
    return Result();
  };
}

// The menu's and the notices' changes to the trusted devices.
void forgetTrustedDevice(StatusBarController& controller, const std::string& identifier) {
  if (const auto forgotten = controller.controlServer().trustedDevices().forget(identifier)) {
    log::Logger("App").notice("Forgot the trusted device \"{}\" at the user's request",
                              printable(forgotten->displayName()));
  }
  controller.trustedDevicesChanged();
}

void forgetAllTrustedDevices(StatusBarController& controller) {
  if (const auto forgotten = controller.controlServer().trustedDevices().forgetAll()) {
    log::Logger("App").notice("Forgot all {} trusted devices at the user's request", forgotten->size());
  }
  controller.trustedDevicesChanged();
}

void setAlwaysAskForCode(StatusBarController& controller, bool alwaysAsk) {
  log::Logger("App").notice("Always asking for the code: {}", alwaysAsk ? "on" : "off");
  controller.controlServer().trustedDevices().setAlwaysAskForCode(alwaysAsk);
  controller.tray().rebuildTrustEntries();
}

}  // namespace

std::shared_ptr<StatusBarController> StatusBarController::create(Dependencies dependencies) {
  std::shared_ptr<StatusBarController> controller(new StatusBarController(std::move(dependencies)));
  StatusBarController& self = *controller;
  const Dependencies& given = self.dependencies_;
  MainQueue& mainQueue = given.mainQueue;
  const std::weak_ptr<StatusBarController> weak = controller;
  const auto selectedDisplayID = withController(weak, [](StatusBarController& it) { return it.selectedDisplayID(); });

  self.tray_ = TrayPresenter::create(
      TrayPresenter::Dependencies{
          mainQueue, given.userInterface, given.permissionHelp, given.displaySource, given.captureBackend,
          given.timing.permissionHelpAlertDelay,
          [input = std::weak_ptr(self.inputQueue_), &mainQueue](std::function<void(bool)> answer) {
            if (auto queue = input.lock()) {
              queue->checkProcessTrusted(mainQueue, std::move(answer));
            }
          },
          selectedDisplayID,
          withController(weak, [](StatusBarController& it) { return it.streaming().selectedBitRate(); }),
          withController(weak, [](StatusBarController& it) { return it.controlServer().trustedDevices().list(); }),
          withController(weak, [](StatusBarController& it) { return it.controlServer().trustedDevices().alwaysAskForCode(); }),
          given.controlServer.alwaysAskForCode},
      TrayPresenter::Actions{
          StatusMenu::Actions{withController(weak, std::mem_fn(&StatusBarController::startServer)),
                              withController(weak, std::mem_fn(&StatusBarController::stopServer)),
                              withController(weak, std::mem_fn(&StatusBarController::showVerificationCode)),
                              {},
                              given.quit,
                              {},
                              {}},
          withController(weak, [](StatusBarController& it, std::uint32_t displayID) { it.selectDisplay(displayID); }),
          withController(weak, [](StatusBarController& it, std::int64_t bitsPerSecond) {
            it.streaming().selectBitRate(bitsPerSecond);
          }),
          withController(weak, forgetTrustedDevice), withController(weak, forgetAllTrustedDevices),
          withController(weak, setAlwaysAskForCode)},
      given.inputBackend->isProcessTrusted());

  self.admissions_ = std::make_shared<AdmissionNotices>(
      mainQueue, given.notifier,
      AdmissionNotices::Actions{
          withController(weak, [](StatusBarController& it) { it.controlServer().disconnectActiveClient(); }),
          withController(weak, forgetTrustedDevice)});
  self.controlServer_ = ControlChannelServer::create(std::move(self.dependencies_.controlServer),
                                                     controlServerCallbacks(controller, mainQueue, given.displaySource));
  self.controlServer_->setRequiredPairingCode(self.pairingCode_);
  self.videoServer_ = VideoStreamServer::create(std::move(self.dependencies_.videoServer),
                                                {postedToMainQueue(mainQueue, weak, &StatusBarController::videoClientReady)});
  self.inputQueue_->setOnAccessibilityPermissionLost(
      postedToMainQueue(mainQueue, std::weak_ptr(self.tray_), &TrayPresenter::recheckAccessibility));
  self.streaming_ = StreamingSession::create(StreamingSession::Dependencies{
      mainQueue, given.displaySource, given.captureBackend, given.makeEncoderSession, self.videoServer_,
      given.timing.capture, selectedDisplayID,
      withController(weak, [](StatusBarController& it, std::optional<std::uint32_t> displayID) {
        it.setSelectedDisplay(displayID);
      })});

  given.userInterface->setMenuSource(self.tray_);
  self.schedulePermissionRecheck();
  // Checked once more now that the menu exists, as its warnings follow these flags.
  self.tray_->recheckPermissions();
  return controller;
}

StatusBarController::StatusBarController(Dependencies dependencies)
    : dependencies_(std::move(dependencies)),
      pairingCode_(generatePairingCode()),
      inputQueue_(std::make_shared<InputQueue>(dependencies_.inputBackend, dependencies_.timing.injector)) {}

StatusBarController::~StatusBarController() = default;

void StatusBarController::schedulePermissionRecheck() {
  dependencies_.mainQueue.postAfter(dependencies_.timing.permissionRecheckInterval, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->tray_->recheckPermissions();
      self->schedulePermissionRecheck();
    }
  });
}

void StatusBarController::keyframeRequestedByClient() {
  logger_.info("Keyframe requested by client");
  streaming_->forceKeyframeOnAllPipelines();
}

void StatusBarController::videoClientReady() {
  logger_.info("Video client connected via UDP — forcing keyframe");
  streaming_->forceKeyframeOnAllPipelines();
}

void StatusBarController::setSelectedDisplay(std::optional<std::uint32_t> displayID) {
  controlServer_->setSelectedDisplayID(displayID);
  // The injector maps pointer positions on its own queue; it is told, not asked.
  inputQueue_->setTargetDisplayID(displayID);
}

void StatusBarController::clientDidConnect(const ClientHello& hello, const std::optional<std::string>& clientHost) {
  tray_->updateStatusMenu(localizedFormat("mac.menu.status.connected", {hello.deviceName}));
  dependencies_.userInterface->setInUse(true);
  admissions_->announce(hello, clientHost);
  auto& session = streaming_->clientSession();
  session.hasActiveClientSession = true;
  session.captureSuspendedForNoScreens = false;
  session.lastPreferredHeight = hello.preferredHeight;
  session.lastPreferredFrameRate = hello.preferredFrameRate;
  inputQueue_->setTargetDisplayID(selectedDisplayID());
  streaming_->restartStreaming(true);
  controlServer_->resendServerHello();
}

void StatusBarController::clientDidDisconnect() {
  dependencies_.userInterface->setInUse(false);
  admissions_->sessionEnded();
  auto& session = streaming_->clientSession();
  session.hasActiveClientSession = false;
  session.wantsMultiDisplayStreaming = false;
  setSelectedDisplay(std::nullopt);
  streaming_->tearDown();
  logger_.info("Client disconnected — capture pipeline and multi-display state reset");
  tray_->updateStatusMenu(localized("mac.menu.status.waiting"));
}

void StatusBarController::displaySwitchRequested(std::uint32_t displayID) {
  // The injector's target was queued with the client's input when the request arrived; setting it
  // again from here could overtake input sent after a later switch.
  controlServer_->setSelectedDisplayID(displayID);
  switchStreamedDisplay();
}

void StatusBarController::switchStreamedDisplay() {
  // Not checked against the displays here: the single-display start falls back when it is gone.
  if (!streaming_->clientSession().wantsMultiDisplayStreaming) {
    streaming_->tearDown();
    streaming_->restartStreaming(false);
  }
  controlServer_->resendServerHello();
}

void StatusBarController::selectDisplay(std::uint32_t displayID) {
  std::optional<std::uint32_t> current = selectedDisplayID();
  if (!current) {
    const auto snapshots = MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource);
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
  switchStreamedDisplay();
}

void StatusBarController::multiDisplayRequested(bool enabled) {
  streaming_->clientSession().wantsMultiDisplayStreaming = enabled;
  streaming_->tearDown();
  streaming_->restartStreaming(true);
  controlServer_->resendServerHello();
}

void StatusBarController::trustedDevicesChanged() {
  controlServer_->revalidateActiveClient();
  tray_->rebuildTrustEntries();
}

void StatusBarController::startServer() {
  controlServer_->start();
  videoServer_->start();
  tray_->updateStatusMenu(localized("mac.menu.status.waiting"));
  dependencies_.mainQueue.postAfter(dependencies_.timing.verificationPanelDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->presentVerificationCodePanel(false);
    }
  });
}

void StatusBarController::stopServer() {
  dismissVerificationCodePanel();
  streaming_->tearDown();
  videoServer_->disconnectClient();
  videoServer_->stopCompletely();
  controlServer_->stop();
  tray_->updateStatusMenu(localized("mac.menu.status.serverStopped"));
}

void StatusBarController::shutdown(std::chrono::steady_clock::duration timeout) {
  ++lastScreenChange_;  // a pending screen-change handling finds itself superseded
  stopServer();
  if (!streaming_->waitForCaptureStops(timeout)) {
    logger_.error("Captures did not stop within {} ms; quitting anyway",
                  std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count());
  }
}

void StatusBarController::presentVerificationCodePanel(bool force) {
  if (!force && controlServer_->hasTrustedClients() && !controlServer_->alwaysAskForCode()) {
    return;
  }
  logger_.info("Presenting verification code panel (force={})", force ? 1 : 0);
  tray_->presentVerificationCode(pairingCode_);
}

void StatusBarController::dismissVerificationCodePanel() {
  logger_.info("Dismissing verification code panel");
  tray_->dismissVerificationCode();
}

void StatusBarController::screenParametersDidChange() {
  logger_.info("didChangeScreenParameters — scheduling debounced rebuild (displays now={})",
               MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource).size());
  // Each change supersedes the handling that an earlier one scheduled.
  const std::uint64_t change = ++lastScreenChange_;
  dependencies_.mainQueue.postAfter(dependencies_.timing.screenChangeDebounce, [weak = weak_from_this(), change] {
    auto self = weak.lock();
    if (self && change == self->lastScreenChange_) {
      self->handleScreenChangeSettled();
    }
  });
}

void StatusBarController::handleScreenChangeSettled() {
  const auto snapshots = MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource);
  auto& session = streaming_->clientSession();
  // The capture of a display that went away ends on its own before the change settles: during a
  // session, pipelines that exist count as active capture, so that they are rebuilt (or
  // suspended) instead of being left without a picture.
  const bool active = streaming_->isCapturing() || streaming_->isCaptureStarting() ||
                      (session.hasActiveClientSession && !streaming_->displayPipelines().empty());

  if (snapshots.empty()) {
    if (active) {
      logger_.error("No active displays available (clamshell close?) — stopping pipelines, no ServerHello");
      streaming_->tearDown();
      session.captureSuspendedForNoScreens = session.hasActiveClientSession;
    } else {
      logger_.info("Screen change while idle — updating state only");
    }
    return;
  }

  if (!active) {
    if (session.captureSuspendedForNoScreens && session.hasActiveClientSession) {
      logger_.info("Screens returned while a client session is active — resuming capture");
      session.captureSuspendedForNoScreens = false;
      streaming_->restartStreaming(false);
      controlServer_->resendServerHello();
    } else {
      logger_.info("Screen change while idle — updating state only");
    }
    return;
  }

  session.captureSuspendedForNoScreens = false;
  const auto selected = selectedDisplayID();
  if (selected && std::none_of(snapshots.begin(), snapshots.end(), [&](const MacDisplaySnapshot& snapshot) {
        return snapshot.displayID == *selected;
      })) {
    logger_.info("Previously selected display {} is gone — falling back to main", *selected);
    setSelectedDisplay(std::nullopt);
  }
  // Rebuilt on every settled change, also when only a resolution changed.
  if (session.wantsMultiDisplayStreaming) {
    logger_.info("Rebuilding multi-display pipelines after screen change");
  } else {
    logger_.info("Rebuilding single-display pipeline after screen change");
    streaming_->tearDown();
  }
  streaming_->restartStreaming(false);
  controlServer_->resendServerHello();
}

}  // namespace velmora
