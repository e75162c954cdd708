// The handshake on a candidate connection: version, trust or verification code, ServerHello.
#include <algorithm>
#include <cmath>
#include <limits>

#include "control/control_channel_server.h"
#include "platform/log/printable.h"
#include "protocol/message_coder.h"
#include "protocol/velmora_constants.h"

namespace velmora {
namespace {

constexpr std::int64_t kMaximumFrameRate = 60;
constexpr double kFallbackScreenWidth = 1920;
constexpr double kFallbackScreenHeight = 1080;

// Points to an integer toward zero; values no display can have end up as 0 rather than as
// undefined behaviour.
std::int64_t integerPoints(double value) {
  if (!std::isfinite(value) || std::abs(value) >= 9.0e18) {
    return 0;
  }
  return static_cast<std::int64_t>(value);
}

}  // namespace

ServerHello ControlChannelServer::makeServerHello(const HostDescription& host, std::int64_t frameRate,
                                                  std::optional<std::string> videoHost) {
  ServerHello serverHello;
  serverHello.protocolVersion = VelmoraConstants::protocolVersion;
  serverHello.hostName = host.hostName;
  serverHello.screenWidth = integerPoints(host.size.width);
  serverHello.screenHeight = integerPoints(host.size.height);
  serverHello.videoPort = VelmoraConstants::defaultVideoPort;
  serverHello.frameRate = frameRate;
  serverHello.videoHost = std::move(videoHost);
  serverHello.displays = host.displays;
  return serverHello;
}

bool isUsableVideoHost(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text.find('%') == std::string::npos && !text.starts_with("fe80:") && !text.starts_with("169.254.");
}

void ControlChannelServer::receiveHandshake(const std::shared_ptr<Connection>& connection,
                                            const std::shared_ptr<FrameAccumulator>& accumulator) {
  receiveData(connection, accumulator, &ControlChannelServer::handleHandshakeBytes);
}

void ControlChannelServer::handleHandshakeBytes(const std::shared_ptr<Connection>& connection,
                                                const std::shared_ptr<FrameAccumulator>& accumulator, const Bytes& bytes) {
  accumulator->append(bytes);
  std::optional<HandshakeMessage> message;
  try {
    message = accumulator->nextMessage<HandshakeMessage>();
  } catch (const DecodingError& error) {
    logger_.error("Handshake decode error: {}", error.what());
    clearPendingConnection(connection);
    connection->cancel();
    return;
  }
  if (!message) {
    receiveHandshake(connection, accumulator);
    return;
  }
  const auto* hello = message->get<ClientHello>();
  if (!hello) {
    // Only a client hello means anything from a client; anything else is dropped.
    receiveHandshake(connection, accumulator);
    return;
  }

  logger_.info("Received ClientHello from {}", printable(hello->deviceName));
  if (hello->protocolVersion != VelmoraConstants::protocolVersion) {
    logger_.error("Protocol version mismatch: VP={} vs Mac={} — closing connection", hello->protocolVersion,
                  VelmoraConstants::protocolVersion);
    rejectPendingConnection(connection, RejectionReason::versionMismatch);
    return;
  }
  const auto admission = passesPairing(connection, *hello);
  if (!admission) {
    return;
  }
  admitClient(connection, accumulator, *hello, *admission);
}

std::optional<ControlChannelServer::Admission> ControlChannelServer::passesPairing(
    const std::shared_ptr<Connection>& connection, const ClientHello& hello) {
  Admission admission{normalizeClientIdentifier(hello.clientIdentifier), std::nullopt};
  if (admission.identifier) {
    admission.trustedDevice = trustedDevices_->trusted(*admission.identifier);
  }
  if (admission.trustedDevice) {
    if (!alwaysAskForCode()) {
      return admission;
    }
    logger_.info("Asking {} for the code although its device is trusted: the code is always asked for",
                 printable(hello.deviceName));
    admission.trustedDevice.reset();
  }

  const auto now = std::chrono::steady_clock::now();
  if (const auto remaining = pairingThrottle_.remainingLockout(now)) {
    logger_.error("Rejected ClientHello from {} without checking its code: pairing locked for {}s after repeated wrong codes",
                  printable(hello.deviceName), std::chrono::ceil<std::chrono::seconds>(*remaining).count());
    rejectPendingConnection(connection, RejectionReason::invalidPairingCode);
    return std::nullopt;
  }

  if (hello.pairingCode == requiredPairingCode()) {
    pairingThrottle_.recordSuccess();
    return admission;
  }

  logger_.error("Rejected ClientHello with invalid pairing code from {}", printable(hello.deviceName));
  if (const auto lockout = pairingThrottle_.recordFailure(now)) {
    logger_.error("Too many wrong pairing codes: refusing codes for {}s",
                  std::chrono::ceil<std::chrono::seconds>(*lockout).count());
  }
  if (callbacks_.onPairingRequired) {
    callbacks_.onPairingRequired();
  }
  rejectPendingConnection(connection, RejectionReason::invalidPairingCode);
  return std::nullopt;
}

// Every admission is kept at notice level with where it came from, so that a replayed identifier
// from a strange address stands out in the journal.
bool ControlChannelServer::recordAdmission(const Admission& admission, const ClientHello& hello,
                                           const std::optional<std::string>& clientHost) {
  const std::string address = clientHost.value_or("unknown address");
  activeDeviceName_ = hello.deviceName;
  if (admission.trustedDevice) {
    const auto seen = admission.trustedDevice->lastSeen();
    logger_.notice("Admitted \"{}\" from {} as a trusted device, last admitted {}", printable(hello.deviceName), address,
                   seen ? describeAge(WallClock::now() - *seen) : std::string("at an unknown time"));
  } else {
    logger_.notice("Admitted \"{}\" from {} with the verification code", printable(hello.deviceName), address);
  }
  activeTrustedIdentifier_.reset();
  if (!admission.identifier) {
    return true;
  }
  const auto recorded = trustedDevices_->recordAdmission(*admission.identifier, hello.deviceName, address,
                                                         admission.trustedDevice.has_value());
  if (recorded == TrustedDevices::Recorded::gone) {
    logger_.notice("Disconnecting \"{}\": its device is no longer trusted", printable(hello.deviceName));
    return false;
  }
  if (recorded != TrustedDevices::Recorded::failed) {
    activeTrustedIdentifier_ = admission.identifier;
  }
  if (recorded == TrustedDevices::Recorded::added && callbacks_.onClientTrusted) {
    callbacks_.onClientTrusted();
  }
  return true;
}

void ControlChannelServer::admitClient(const std::shared_ptr<Connection>& connection,
                                       const std::shared_ptr<FrameAccumulator>& accumulator, const ClientHello& hello,
                                       const Admission& admission) {
  const auto clientHost = extractHost(connection);
  const auto videoHost = extractLocalHost(connection);
  logger_.info("Mac local IP for video: {}", log::privateValue(videoHost.value_or("nil")));

  std::optional<HostDescription> host;
  if (!dependencies_.mainQueue.runSync([&] { host = describeHost(); })) {
    // The application is shutting down; nobody is left to serve this client.
    clearPendingConnection(connection);
    connection->cancel();
    return;
  }

  const auto serverHello = makeServerHello(*host, std::min(hello.preferredFrameRate, kMaximumFrameRate), videoHost);
  logger_.info("ServerHello screenWidth={} screenHeight={} (points)", serverHello.screenWidth, serverHello.screenHeight);

  auto [didPromote, previousActive] = promotePendingConnection(connection);
  if (!didPromote) {
    logger_.info("Ignoring handshake from stale pending connection");
    return;
  }
  if (previousActive) {
    previousActive->cancel();
  }
  if (!recordAdmission(admission, hello, clientHost)) {
    endActiveConnection(connection, false);
    connection->cancel();
    return;
  }
  // The owner learns the client's host before the hello leaves, so that the video server
  // already accepts the client's UDP hello when it arrives.
  if (callbacks_.onClientConnected) {
    callbacks_.onClientConnected(hello, connection, clientHost);
  }
  sendLocked(HandshakeMessage(serverHello));
  receiveControlMessages(connection, accumulator);
}

void ControlChannelServer::rejectPendingConnection(const std::shared_ptr<Connection>& connection, RejectionReason reason) {
  if (pendingConnection_ != connection) {
    return;
  }
  clearPendingConnection(connection);
  Bytes frame;
  try {
    frame = MessageCoder::shared().encode(HandshakeMessage(ServerRejected{reason}));
  } catch (const std::exception& error) {
    logger_.error("Failed to encode server rejection: {}", error.what());
    connection->cancel();
    return;
  }
  std::weak_ptr<ControlChannelServer> weak = weak_from_this();
  connection->send(std::move(frame), [weak, connection](std::optional<NetworkError> error) {
    auto self = weak.lock();
    if (error && self) {
      self->logger_.error("Failed to send server rejection: {}", error->description);
    }
    if (self) {
      self->netQueue_.post([connection] { connection->cancel(); });
    } else {
      connection->cancel();
    }
  });
}

void ControlChannelServer::sendLocked(const HandshakeMessage& message) {
  if (!activeConnection_) {
    return;
  }
  Bytes frame;
  try {
    frame = MessageCoder::shared().encode(message);
  } catch (const std::exception& error) {
    logger_.error("Failed to encode handshake: {}", error.what());
    return;
  }
  std::weak_ptr<ControlChannelServer> weak = weak_from_this();
  activeConnection_->send(std::move(frame), [weak](std::optional<NetworkError> error) {
    auto self = weak.lock();
    if (error && self) {
      self->logger_.error("Failed to send handshake: {}", error->description);
    }
  });
}

std::optional<std::string> ControlChannelServer::extractHost(const std::shared_ptr<Connection>& connection) const {
  const auto remote = connection->remoteEndpoint();
  logger_.debug("Connection remote endpoint: {}",
                log::privateValue(remote ? remote->host + ":" + std::to_string(remote->port) : std::string("nil")));
  if (!remote || remote->host.empty()) {
    logger_.debug("Could not extract client host");
    return std::nullopt;
  }
  logger_.debug("Extracted client host: {}", log::privateValue(remote->host));
  return remote->host;
}

std::optional<std::string> ControlChannelServer::extractLocalHost(const std::shared_ptr<Connection>& connection) const {
  const auto local = connection->localEndpoint();
  if (!local || local->host.empty()) {
    logger_.debug("Could not extract local host from TCP connection");
    return std::nullopt;
  }
  if (!isUsableVideoHost(local->host)) {
    logger_.debug("Ignoring unusable local host for video fallback: {}", log::privateValue(local->host));
    return std::nullopt;
  }
  logger_.debug("Extracted local host: {}", log::privateValue(local->host));
  return local->host;
}

std::vector<MacDisplaySnapshot> ControlChannelServer::snapshots() const {
  if (callbacks_.displaySnapshotProvider) {
    return callbacks_.displaySnapshotProvider();
  }
  return dependencies_.currentSnapshots ? dependencies_.currentSnapshots() : std::vector<MacDisplaySnapshot>{};
}

ControlChannelServer::ScreenSize ControlChannelServer::getSelectedScreenSize(
    const std::vector<MacDisplaySnapshot>& snapshots) const {
  const auto selected = selectedDisplayID();
  if (selected) {
    for (const auto& snapshot : snapshots) {
      if (snapshot.displayID == *selected) {
        return {snapshot.frame.width, snapshot.frame.height};
      }
    }
  }
  if (!snapshots.empty()) {
    return {snapshots.front().frame.width, snapshots.front().frame.height};
  }
  return {kFallbackScreenWidth, kFallbackScreenHeight};
}

std::string ControlChannelServer::hostName() const {
  std::string name = dependencies_.computerName ? dependencies_.computerName() : std::string();
  return name.empty() ? VelmoraConstants::fallbackHostName : name;
}

ControlChannelServer::HostDescription ControlChannelServer::describeHost() const {
  const auto current = snapshots();
  HostDescription description;
  description.size = getSelectedScreenSize(current);
  for (const auto& snapshot : current) {
    description.displays.push_back(DisplayInfo{snapshot.displayID, snapshot.name, integerPoints(snapshot.frame.width),
                                               integerPoints(snapshot.frame.height), snapshot.isMain});
  }
  description.hostName = hostName();
  return description;
}

void ControlChannelServer::resendServerHello() {
  auto host = std::make_shared<HostDescription>(describeHost());
  netQueue_.post([weak = weak_from_this(), host] {
    auto self = weak.lock();
    if (!self || !self->handshakeCompleted_) {
      return;
    }
    // A resent hello always says 60 frames per second and carries no video host.
    const auto serverHello = makeServerHello(*host, kMaximumFrameRate, std::nullopt);
    self->logger_.info("Resending ServerHello: {}x{}, {} displays", serverHello.screenWidth, serverHello.screenHeight,
                       serverHello.displays->size());
    self->sendLocked(HandshakeMessage(serverHello));
  });
}

}  // namespace velmora
