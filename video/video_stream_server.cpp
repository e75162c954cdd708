#include "video/video_stream_server.h"

#include "platform/dispatch/queue_owned.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "platform/application_identifier.h"
#include "platform/net/asio_udp_listener.h"
#include "protocol/frame_fragmenter.h"

namespace velmora {
namespace {

constexpr std::int64_t kLoggedSendsAtStart = 5;
constexpr std::string_view kIPv4MappedPrefix = "::ffff:";

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char expected, char actual) {
           return std::tolower(static_cast<unsigned char>(actual)) == static_cast<unsigned char>(expected);
         });
}

}  // namespace

std::shared_ptr<VideoStreamServer> VideoStreamServer::create(Options options, Callbacks callbacks) {
  return ownedOutsideItsQueue(
      std::make_shared<VideoStreamServer>(ConstructionKey{}, std::move(options), std::move(callbacks)));
}

VideoStreamServer::VideoStreamServer(ConstructionKey, Options options, Callbacks callbacks)
    : options_(std::move(options)),
      callbacks_(std::move(callbacks)),
      networkQueue_(std::string(kApplicationIdentifier) + ".video"),
      flowLogThrottle_(options_.loggedFlowsPerWindow, options_.flowLogWindow) {
  if (!options_.makeListener) {
    options_.makeListener = makeUdpListener;
  }
  if (!options_.now) {
    options_.now = [] { return Clock::now(); };
  }
}

VideoStreamServer::~VideoStreamServer() {
  // Nothing may run on the queue while the flows and the listener go; work still queued holds
  // the server weakly and is dropped with the queue.
  shutdownQueueAndWait();
  if (state_.activeConnection) {
    state_.activeConnection->cancel();
  }
  if (state_.listener) {
    state_.listener->cancel();
  }
}

void VideoStreamServer::shutdownQueueAndWait() { networkQueue_.shutdownAndWait(); }

void VideoStreamServer::start() {
  {
    std::lock_guard lock(stateLock_);
    if (state_.listener) {
      return;
    }
  }
  auto made = options_.makeListener(networkQueue_.context(), UdpListenerSettings{options_.port, options_.sendMode});
  if (!made) {
    logger_.error("VideoServer: failed to create UDP listener: {}", made.error());
    return;
  }
  std::shared_ptr<UdpListener> listener = std::move(made.value());
  const std::uint16_t port = listener->port();

  std::weak_ptr<VideoStreamServer> weak = weak_from_this();
  listener->setStateHandler([weak, port](UdpListener::StateKind state, std::optional<NetworkError> error) {
    if (auto self = weak.lock()) {
      self->handleListenerState(state, error, port);
    }
  });
  listener->setNewFlowHandler([weak](std::shared_ptr<UdpFlow> flow) {
    if (auto self = weak.lock()) {
      self->handleNewConnection(flow);
    } else {
      flow->cancel();
    }
  });

  bool lostRace = false;
  {
    std::lock_guard lock(stateLock_);
    lostRace = state_.listener != nullptr;
    if (!lostRace) {
      state_.listener = listener;
    }
  }
  if (lostRace) {
    listener->cancel();  // a concurrent start() stored its listener first
    return;
  }
  listener->start();
  logger_.info("VideoServer: UDP listener starting on port {}", port);
}

void VideoStreamServer::stopCompletely() {
  std::shared_ptr<UdpListener> listener;
  std::shared_ptr<UdpFlow> flow;
  {
    std::lock_guard lock(stateLock_);
    listener = std::exchange(state_.listener, nullptr);
    flow = std::exchange(state_.activeConnection, nullptr);
    state_.allowedClientHost.reset();
    state_.heldKeyframes.clear();
  }
  if (flow) {
    flow->cancel();
  }
  if (listener) {
    listener->cancel();
  }
}

void VideoStreamServer::disconnectClient() {
  std::shared_ptr<UdpFlow> flow;
  {
    std::lock_guard lock(stateLock_);
    flow = std::exchange(state_.activeConnection, nullptr);
    state_.allowedClientHost.reset();
    state_.heldKeyframes.clear();
  }
  if (flow) {
    flow->cancel();
  }
}

void VideoStreamServer::setAllowedClientHost(std::optional<std::string> host) {
  std::lock_guard lock(stateLock_);
  state_.allowedClientHost = std::move(host);
}

std::optional<std::string> VideoStreamServer::allowedClientHost() const {
  std::lock_guard lock(stateLock_);
  return state_.allowedClientHost;
}

std::optional<std::uint16_t> VideoStreamServer::listeningPort() const {
  std::lock_guard lock(stateLock_);
  return state_.listener ? std::optional(state_.listener->port()) : std::nullopt;
}

void VideoStreamServer::send(std::span<const std::vector<std::uint8_t>> nalUnits, const VideoFrameMetadata& metadata) {
  std::int64_t sendCount = 0;
  std::shared_ptr<UdpFlow> flow;
  {
    std::lock_guard lock(stateLock_);
    sendCount = ++state_.sendCount;
    flow = state_.activeConnection;
    if (!flow && !metadata.isKeyframe) {
      state_.heldKeyframes.erase(metadata.displayID);  // later frames refer to this one
    }
  }
  if (!flow) {
    if (sendCount <= kLoggedSendsAtStart) {
      logger_.debug("VideoServer: send called but no client connection!");
    }
    if (std::vector<std::uint8_t> held; metadata.isKeyframe && FrameFragmenter::layOut(metadata, nalUnits, held)) {
      std::lock_guard lock(stateLock_);
      state_.heldKeyframes[metadata.displayID] = std::move(held);
    }
    return;
  }
  if (log::isLoggedOccurrence(sendCount, kLoggedSendsAtStart)) {
    logger_.debug("VideoServer: sending frame {} fragments={} (sendCount={})", metadata.frameID, nalUnits.size(), sendCount);
  }

  // The frame's one copy: every datagram back to back, so the kernel takes the train in one call.
  // Reused per encoder thread, as several displays send at once.
  thread_local std::vector<std::uint8_t> train;
  const FragmentationResult laidOut = FrameFragmenter::layOut(metadata, nalUnits, train);
  if (!laidOut) {
    logger_.error("VideoServer: {}", laidOut.error);
    return;
  }
  if (auto error = flow->sendDatagrams(train, FrameFragmenter::maxDatagramSize)) {
    logger_.error("UDP send error: {}", error->description);
  }
}

std::string VideoStreamServer::canonicalHostString(std::string_view host) {
  std::string_view text = host.substr(0, host.find('%'));
  if (startsWithIgnoringCase(text, kIPv4MappedPrefix)) {
    text.remove_prefix(kIPv4MappedPrefix.size());
  }
  return std::string(text);
}

void VideoStreamServer::handleListenerState(UdpListener::StateKind state, const std::optional<NetworkError>& error,
                                            std::uint16_t port) {
  logger_.debug("VideoServer listener state: {}", describe(state, error));
  if (state == UdpListener::StateKind::failed) {
    logger_.error("VideoServer UDP listener FAILED: {}", error ? error->description : std::string("unknown error"));
  } else if (state == UdpListener::StateKind::ready) {
    logger_.info("VideoServer UDP listener READY on port {}", port);
  }
}

void VideoStreamServer::handleNewConnection(const std::shared_ptr<UdpFlow>& flow) {
  const FlowContext context{flow, flowLogThrottle_.admit(options_.now())};
  std::weak_ptr<VideoStreamServer> weak = weak_from_this();
  // Held weakly: until it is admitted or cancelled the listener keeps the flow.
  flow->setStateHandler([weak, context](const ConnectionStatus& state) {
    if (auto self = weak.lock()) {
      self->handleFlowState(context, state);
    }
  });
  flow->start();
  flow->receiveMessage([weak, isLogged = context.isLogged](Bytes hello) {
    auto self = weak.lock();
    if (self && isLogged && !hello.empty()) {
      self->logger_.debug("VideoServer: received hello from client ({} bytes)", hello.size());
    }
  });
}

void VideoStreamServer::handleFlowState(const FlowContext& context, const ConnectionStatus& state) {
  auto flow = context.flow.lock();
  if (!flow) {
    return;
  }
  if (context.isLogged) {
    logger_.debug("VideoServer client connection state: {}", describe(state));
  }
  switch (state.kind) {
    case ConnectionStateKind::ready:
      admit(context, flow);
      break;
    case ConnectionStateKind::failed:
      logger_.error("VideoServer: UDP client connection failed: {}",
                    state.error ? state.error->description : std::string("unknown error"));
      clearActiveConnectionIf(flow);
      break;
    case ConnectionStateKind::cancelled:
      clearActiveConnectionIf(flow);
      break;
    default:
      break;
  }
}

void VideoStreamServer::admit(const FlowContext& context, const std::shared_ptr<UdpFlow>& flow) {
  std::optional<std::string> allowedHost;
  {
    std::lock_guard lock(stateLock_);
    allowedHost = state_.allowedClientHost;
  }
  if (!allowedHost) {
    reject(context, *flow, [this] { logger_.error("VideoServer: rejecting UDP connection before TCP host verification completed"); });
    return;
  }
  const std::optional<Endpoint> remote = flow->remoteEndpoint();
  if (!remote || remote->host.empty()) {
    reject(context, *flow, [this] { logger_.error("VideoServer: rejecting UDP connection with non-host remote endpoint"); });
    return;
  }
  if (canonicalHostString(remote->host) != canonicalHostString(*allowedHost)) {
    reject(context, *flow, [&] {
      logger_.error("VideoServer: REJECTED UDP connection from {} (expected {})", log::privateValue(remote->host),
                    log::privateValue(*allowedHost));
    });
    return;
  }

  // Held keyframes go out before the flow is the active one, so that no later frame of their
  // stream overtakes them; one held meanwhile goes out too.
  std::shared_ptr<UdpFlow> previous;
  for (;;) {
    std::map<std::uint16_t, std::vector<std::uint8_t>> held;
    {
      std::lock_guard lock(stateLock_);
      if (state_.heldKeyframes.empty()) {
        previous = std::exchange(state_.activeConnection, flow);
        break;
      }
      held = std::exchange(state_.heldKeyframes, {});
    }
    for (const auto& [stream, train] : held) {
      if (auto error = flow->sendDatagrams(train, FrameFragmenter::maxDatagramSize)) {
        logger_.error("UDP send error: {}", error->description);
      }
    }
  }
  if (previous && previous != flow) {
    previous->cancel();  // the newest verified flow wins
  }
  logger_.info("VideoServer: new UDP connection from client — READY, can send video");
  if (callbacks_.onClientReady) {
    callbacks_.onClientReady();
  }
}

void VideoStreamServer::reject(const FlowContext& context, UdpFlow& flow, const std::function<void()>& logRejection) {
  if (context.isLogged) {
    if (const std::uint64_t suppressed = flowLogThrottle_.takeSuppressed(); suppressed > 0) {
      logger_.error("VideoServer: {} more UDP connections were rejected without a log line", suppressed);
    }
    logRejection();
  } else {
    flowLogThrottle_.countSuppressed();
  }
  flow.cancel();
}

void VideoStreamServer::clearActiveConnectionIf(const std::shared_ptr<UdpFlow>& flow) {
  std::lock_guard lock(stateLock_);
  if (state_.activeConnection == flow) {
    state_.activeConnection.reset();
  }
}

}  // namespace velmora
