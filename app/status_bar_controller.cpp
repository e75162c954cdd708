#include "app/status_bar_controller.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <fmt/format.h>
#include <stdexcept>

#include "app/localization.h"

namespace velmora {

std::shared_ptr<StatusBarController> StatusBarController::create(Dependencies dependencies) {
  std::shared_ptr<StatusBarController> controller(new StatusBarController(std::move(dependencies)));
  controller->wireControlServer();
  return controller;
}

StatusBarController::StatusBarController(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), pairingCode_(generatePairingCode()) {
  dependencies_.controlServer->setRequiredPairingCode(pairingCode_);
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

void StatusBarController::wireControlServer() {
  auto& server = *dependencies_.controlServer;
  std::weak_ptr<StatusBarController> weak = weak_from_this();
  MainQueue& mainQueue = dependencies_.mainQueue;

  server.displaySnapshotProvider = [weak, source = dependencies_.displaySource] {
    if (auto self = weak.lock()) {
      return self->displaySnapshots();
    }
    return MacDisplayCatalog::currentSnapshots(*source);
  };
  server.onClientConnected = [weak, &mainQueue](const ClientHello& hello, const std::shared_ptr<Connection>&,
                                                const std::optional<std::string>&) {
    mainQueue.post([weak, hello] {
      auto self = weak.lock();
      if (!self) {
        return;
      }
      self->updateStatusMenu(localizedFormat("mac.menu.status.connected", {hello.deviceName}));
      self->hasActiveClientSession_ = true;
      self->lastPreferredHeight_ = hello.preferredHeight;
      self->lastPreferredFrameRate_ = hello.preferredFrameRate;
      self->dependencies_.controlServer->resendServerHello();
    });
  };
  server.onClientTrusted = [weak, &mainQueue] {
    mainQueue.post([weak] {
      if (auto self = weak.lock()) {
        self->dismissVerificationCodePanel();
      }
    });
  };
  server.onPairingRequired = [weak, &mainQueue] {
    mainQueue.post([weak] {
      if (auto self = weak.lock()) {
        self->presentVerificationCodePanel(true);
      }
    });
  };
  server.onClientDisconnected = [weak, &mainQueue] {
    mainQueue.post([weak] {
      auto self = weak.lock();
      if (!self) {
        return;
      }
      self->hasActiveClientSession_ = false;
      self->wantsMultiDisplayStreaming_ = false;
      self->selectedDisplayID_.reset();
      self->dependencies_.controlServer->setSelectedDisplayID(std::nullopt);
      self->logger_.info("Client disconnected — capture pipeline and multi-display state reset");
      self->updateStatusMenu(localized("mac.menu.status.waiting"));
    });
  };
}

std::vector<MacDisplaySnapshot> StatusBarController::displaySnapshots() const {
  return MacDisplayCatalog::routeOrderedSnapshots(MacDisplayCatalog::currentSnapshots(*dependencies_.displaySource),
                                                  selectedDisplayID_);
}

void StatusBarController::startServer() {
  dependencies_.controlServer->start();
  updateStatusMenu(localized("mac.menu.status.waiting"));
  dependencies_.mainQueue.postAfter(dependencies_.timing.verificationPanelDelay, [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->presentVerificationCodePanel(false);
    }
  });
}

void StatusBarController::stopServer() {
  dismissVerificationCodePanel();
  dependencies_.controlServer->stop();
  updateStatusMenu(localized("mac.menu.status.serverStopped"));
}

void StatusBarController::updateStatusMenu(std::string text) {
  dependencies_.mainQueue.post([weak = weak_from_this(), text = std::move(text)] {
    if (auto self = weak.lock()) {
      self->dependencies_.presenter->showStatus(text);
    }
  });
}

void StatusBarController::presentVerificationCodePanel(bool force) {
  if (!force && dependencies_.controlServer->hasTrustedClients()) {
    return;
  }
  logger_.info("Presenting verification code panel (force={})", force ? 1 : 0);
  dependencies_.presenter->presentVerificationCode(pairingCode_);
}

void StatusBarController::dismissVerificationCodePanel() {
  logger_.info("Dismissing verification code panel");
  dependencies_.presenter->dismissVerificationCode();
}

}  // namespace velmora
