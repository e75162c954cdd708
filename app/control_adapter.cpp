#include "app/control_adapter.h"

#include "app/status_bar_controller.h"

namespace velmora {

ControlChannelServer::Callbacks controlServerCallbacks(const std::shared_ptr<StatusBarController>& controller,
                                                       MainQueue& mainQueue, std::shared_ptr<DisplaySource> displays) {
  ControlChannelServer::Callbacks server;
  std::weak_ptr<StatusBarController> weak = controller;
  const log::Logger logger("App");
  const auto posted = [&mainQueue, weak](auto method) { return postedToMainQueue(mainQueue, weak, method); };

  server.displaySnapshotProvider = [weak, source = std::move(displays)] {
    if (auto self = weak.lock()) {
      return self->streaming().displaySnapshotsForServerHello();
    }
    return MacDisplayCatalog::currentSnapshots(*source);
  };
  // Input skips the main queue: the input queue keeps the order in which messages came.
  server.onControlMessage = [input = std::weak_ptr(controller->inputQueue())](const ControlMessage& message) {
    if (auto queue = input.lock()) {
      queue->handle(message);
    }
  };

  // These run on the control server's network queue before anything is posted: the client's UDP
  // hello may already be on its way when it connects, a disconnected client's datagrams must stop
  // counting at once, and the requests are logged in the order they arrive.
  server.onClientConnected = [weak, post = posted(&StatusBarController::clientDidConnect)](
                                 const ClientHello& hello, const std::shared_ptr<Connection>&,
                                 const std::optional<std::string>& host) {
    if (auto self = weak.lock()) {
      self->videoServer().setAllowedClientHost(host);
      post(hello, host);
    }
  };
  server.onClientTrusted = posted(&StatusBarController::dismissVerificationCodePanel);
  server.onPairingRequired = posted(&StatusBarController::showVerificationCode);
  server.onClientDisconnected = [weak, post = posted(&StatusBarController::clientDidDisconnect)] {
    if (auto self = weak.lock()) {
      self->videoServer().disconnectClient();
    }
    post();
  };
  server.onKeyframeRequested = posted(&StatusBarController::keyframeRequestedByClient);
  server.onDisplaySwitchRequested = [weak, logger, post = posted(&StatusBarController::displaySwitchRequested)](
                                        std::uint32_t displayID) {
    if (auto self = weak.lock()) {
      logger.info("VP requested display switch to displayID={}", displayID);
      // Queued in arrival order: input before the switch lands on the old display, input after it
      // on the new one.
      self->inputQueue()->setTargetDisplayID(displayID);
      post(displayID);
    }
  };
  server.onMultiDisplayRequested = [weak, logger, post = posted(&StatusBarController::multiDisplayRequested)](bool enabled) {
    if (weak.lock()) {
      logger.info("Multi-display mode: {}", enabled ? 1 : 0);
      post(enabled);
    }
  };
  return server;
}

}  // namespace velmora
