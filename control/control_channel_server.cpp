#include "control/control_channel_server.h"

#include "platform/application_identifier.h"
#include "platform/dispatch/queue_owned.h"
#include "platform/log/printable.h"
#include "protocol/velmora_constants.h"

namespace velmora {

std::shared_ptr<ControlChannelServer> ControlChannelServer::create(Dependencies dependencies, Callbacks callbacks) {
  return ownedOutsideItsQueue(
      std::shared_ptr<ControlChannelServer>(new ControlChannelServer(std::move(dependencies), std::move(callbacks))));
}

ControlChannelServer::ControlChannelServer(Dependencies dependencies, Callbacks callbacks)
    : dependencies_(std::move(dependencies)),
      callbacks_(std::move(callbacks)),
      netQueue_(std::string(kApplicationIdentifier) + ".control"),
      pairingThrottle_(dependencies_.timing.pairingThrottle),
      trustedDevices_(std::make_shared<TrustedDevices>(dependencies_.userDefaults, dependencies_.trustDuration)) {}

ControlChannelServer::~ControlChannelServer() {
  // The queue's thread must be done before the connections and the listener it works on go;
  // work still queued holds the server weakly and is dropped with the queue.
  shutdownQueueAndWait();
  if (dependencies_.advertiser) {
    dependencies_.advertiser->withdraw();
  }
}

void ControlChannelServer::shutdownQueueAndWait() { netQueue_.shutdownAndWait(); }

void ControlChannelServer::start() {
  netQueue_.post([weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->startLocked();
    }
  });
}

bool ControlChannelServer::alwaysAskForCode() const {
  return dependencies_.alwaysAskForCode || trustedDevices_->alwaysAskForCode();
}

void ControlChannelServer::revalidateActiveClient() {
  netQueue_.post([weak = weak_from_this()] {
    auto self = weak.lock();
    if (self && self->activeTrustedIdentifier_ && !self->trustedDevices_->contains(*self->activeTrustedIdentifier_)) {
      self->disconnectActiveLocked("its device is no longer trusted");
    }
  });
}

void ControlChannelServer::disconnectActiveClient() {
  netQueue_.post([weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->disconnectActiveLocked("the user asked for it");
    }
  });
}

void ControlChannelServer::disconnectActiveLocked(std::string_view why) {
  if (!activeConnection_) {
    return;
  }
  logger_.notice("Disconnecting \"{}\": {}", printable(activeDeviceName_), why);
  auto connection = activeConnection_;
  endActiveConnection(connection, true);
  connection->cancel();
}

void ControlChannelServer::stop() {
  netQueue_.post([weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->stopLocked();
    }
  });
}

std::string ControlChannelServer::requiredPairingCode() const {
  std::lock_guard lock(pairingCodeLock_);
  return requiredPairingCode_;
}

void ControlChannelServer::setRequiredPairingCode(std::string code) {
  std::lock_guard lock(pairingCodeLock_);
  requiredPairingCode_ = std::move(code);
}

std::optional<std::uint32_t> ControlChannelServer::selectedDisplayID() const {
  std::lock_guard lock(displayIDLock_);
  return selectedDisplayID_;
}

void ControlChannelServer::setSelectedDisplayID(std::optional<std::uint32_t> displayID) {
  std::lock_guard lock(displayIDLock_);
  selectedDisplayID_ = displayID;
}

std::optional<std::uint16_t> ControlChannelServer::listeningPort() const {
  const int port = listeningPort_.load();
  if (port < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(port);
}

void ControlChannelServer::startLocked() {
  trustedDevices_->expireStale();
  const std::uint16_t port = dependencies_.port;
  // A second start from the menu replaces the running listener; the port must be free for it.
  if (listener_) {
    listener_->cancel();
    listener_.reset();
    listeningPort_ = -1;
  }
  auto created = dependencies_.makeListener(netQueue_.context(), port);
  if (!created) {
    logger_.error("Failed to start control server: {}", created.error());
    return;
  }
  listener_ = created.value();

  std::string instanceName = VelmoraConstants::fallbackHostName;
  dependencies_.mainQueue.runSync([&] { instanceName = hostName(); });
  if (dependencies_.advertiser) {
    dependencies_.advertiser->advertise(instanceName, std::string(VelmoraConstants::dnsSdServiceType), listener_->port());
  }

  std::weak_ptr<ControlChannelServer> weak = weak_from_this();
  std::weak_ptr<TcpListener> weakListener = listener_;
  listener_->setStateHandler([weak, weakListener](TcpListener::StateKind state, std::optional<NetworkError> error) {
    auto self = weak.lock();
    if (!self) {
      return;
    }
    if (state == TcpListener::StateKind::ready) {
      const auto listener = weakListener.lock();
      self->logger_.info("Control server listening + Bonjour advertised on port {}", listener ? listener->port() : 0);
    } else if (state == TcpListener::StateKind::failed) {
      self->logger_.error("Control server failed: {}", error ? error->description : "unknown error");
    }
  });
  listener_->setNewConnectionHandler([weak](std::shared_ptr<Connection> connection) {
    if (auto self = weak.lock()) {
      self->handleNewConnection(connection);
    } else {
      connection->cancel();
    }
  });
  listener_->start();
  // Published last: whoever waits for the port also knows the start-up's main-thread call is over.
  listeningPort_ = listener_->port();
}

void ControlChannelServer::stopLocked() {
  if (pendingHandshakeTimeout_) {
    pendingHandshakeTimeout_->cancel();
    pendingHandshakeTimeout_.reset();
  }
  if (pendingConnection_) {
    pendingConnection_->cancel();
    pendingConnection_.reset();
  }
  if (activeConnection_) {
    activeConnection_->cancel();
    activeConnection_.reset();
  }
  handshakeCompleted_ = false;
  handshakeTimestamp_.reset();
  if (listener_) {
    listener_->cancel();
    listener_.reset();
    listeningPort_ = -1;
  }
  if (dependencies_.advertiser) {
    dependencies_.advertiser->withdraw();
  }
}

void ControlChannelServer::handleNewConnection(const std::shared_ptr<Connection>& candidate) {
  if (pendingConnection_) {
    logger_.debug("Rejecting additional control connection while a handshake is already in progress");
    candidate->cancel();
    return;
  }
  if (activeConnection_ && handshakeCompleted_) {
    const double age =
        handshakeTimestamp_
            ? std::chrono::duration<double>(std::chrono::steady_clock::now() - *handshakeTimestamp_).count()
            : 0.0;
    if (activeConnection_->state().kind == ConnectionStateKind::ready && handshakeTimestamp_ &&
        std::chrono::steady_clock::now() - *handshakeTimestamp_ < dependencies_.timing.duplicateConnectionWindow) {
      logger_.debug("Rejecting duplicate connection (Happy Eyeballs, {:.2f}s since handshake)", age);
      candidate->cancel();
      return;
    }
    logger_.debug("Keeping existing control session active while candidate authenticates (state={}, age={:.1f}s)",
                  describe(activeConnection_->state()), age);
  }

  pendingConnection_ = candidate;
  armPendingHandshakeTimeout(candidate);
  auto accumulator = std::make_shared<FrameAccumulator>();

  std::weak_ptr<ControlChannelServer> weak = weak_from_this();
  // The handler holds the connection weakly: a strong capture would keep the connection alive
  // through its own handler.
  std::weak_ptr<Connection> weakConnection = candidate;
  candidate->setStateHandler([weak, weakConnection, accumulator](const ConnectionStatus& state) {
    auto self = weak.lock();
    auto connection = weakConnection.lock();
    if (!self || !connection) {
      return;
    }
    self->handleConnectionState(connection, state);
    if (state.kind == ConnectionStateKind::ready && connection == self->pendingConnection_) {
      self->receiveHandshake(connection, accumulator);
    }
  });
  candidate->start();
}

void ControlChannelServer::handleConnectionState(const std::shared_ptr<Connection>& connection, const ConnectionStatus& state) {
  if (!isCurrent(connection)) {
    logger_.info("Ignoring state from stale connection");
    return;
  }
  switch (state.kind) {
    case ConnectionStateKind::ready:
      if (connection == pendingConnection_) {
        logger_.info("Client TCP ready — starting handshake");
      }
      return;
    case ConnectionStateKind::failed:
      logger_.error("Client TCP failed: {}", state.error ? state.error->description : "unknown error");
      [[fallthrough]];
    case ConnectionStateKind::cancelled:
      if (connection == pendingConnection_) {
        clearPendingConnection(connection);
      } else {
        endActiveConnection(connection, true);
      }
      return;
    case ConnectionStateKind::setup:
    case ConnectionStateKind::preparing:
    case ConnectionStateKind::waiting:
      return;
  }
}

void ControlChannelServer::armPendingHandshakeTimeout(const std::shared_ptr<Connection>& connection) {
  if (pendingHandshakeTimeout_) {
    pendingHandshakeTimeout_->cancel();
  }
  std::weak_ptr<ControlChannelServer> weak = weak_from_this();
  std::weak_ptr<Connection> weakConnection = connection;
  pendingHandshakeTimeout_ = Timer::once(netQueue_.context(), dependencies_.timing.handshakeDeadline, [weak, weakConnection] {
    auto self = weak.lock();
    auto timedOut = weakConnection.lock();
    if (!self || !timedOut || self->pendingConnection_ != timedOut) {
      return;
    }
    self->logger_.error("Pending control handshake timed out");
    self->clearPendingConnection(timedOut);
    timedOut->cancel();
  });
}

void ControlChannelServer::clearPendingConnection(const std::shared_ptr<Connection>& connection) {
  if (!pendingConnection_ || pendingConnection_ != connection) {
    return;
  }
  if (pendingHandshakeTimeout_) {
    pendingHandshakeTimeout_->cancel();
    pendingHandshakeTimeout_.reset();
  }
  pendingConnection_.reset();
}

void ControlChannelServer::endActiveConnection(const std::shared_ptr<Connection>& connection, bool notifyDisconnect) {
  if (!activeConnection_ || activeConnection_ != connection) {
    return;
  }
  activeConnection_.reset();
  activeTrustedIdentifier_.reset();
  handshakeCompleted_ = false;
  handshakeTimestamp_.reset();
  if (notifyDisconnect && callbacks_.onClientDisconnected) {
    callbacks_.onClientDisconnected();
  }
}

std::pair<bool, std::shared_ptr<Connection>> ControlChannelServer::promotePendingConnection(
    const std::shared_ptr<Connection>& connection) {
  if (!pendingConnection_ || pendingConnection_ != connection) {
    return {false, nullptr};
  }
  auto previousActive = std::move(activeConnection_);
  activeConnection_ = connection;
  clearPendingConnection(connection);
  handshakeCompleted_ = true;
  handshakeTimestamp_ = std::chrono::steady_clock::now();
  return {true, previousActive};
}

bool ControlChannelServer::isCurrent(const std::shared_ptr<Connection>& connection) const {
  return connection == activeConnection_ || connection == pendingConnection_;
}

}  // namespace velmora
