#include "platform/net/asio_udp_listener.h"

#include "platform/log/log.h"
#include "platform/net/asio_connection.h"

#include <fmt/format.h>

#include <asio/dispatch.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <fcntl.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace velmora {
namespace {

// Larger than any UDP payload, so that no datagram is ever cut short.
constexpr std::size_t kReceiveBufferSize = 65536;

const log::Logger& logger() {
  static const log::Logger instance("VideoStream");
  return instance;
}

// Failures of one receive that say nothing about the socket (ICMP errors queued on it, memory
// pressure); the next datagram may well arrive.
bool isTransientReceiveError(const asio::error_code& error) {
  if (error.category() != asio::system_category()) {
    return false;
  }
  switch (error.value()) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENOBUFS:
    case ENOMEM:
    case EINTR:
    case EAGAIN:
      return true;
    default:
      return false;
  }
}

asio::error_code openAndBind(asio::ip::udp::socket& socket, const asio::ip::udp::endpoint& endpoint) {
  asio::error_code error;
  socket.open(endpoint.protocol(), error);
  if (!error && endpoint.address().is_v6()) {
    socket.set_option(asio::ip::v6_only(false), error);
  }
  if (!error) {
    socket.set_option(asio::socket_base::reuse_address(true), error);
  }
  if (!error) {
    socket.bind(endpoint, error);
  }
  if (error) {
    asio::error_code ignored;
    socket.close(ignored);
  }
  return error;
}

}  // namespace

AsioUdpListener::AsioUdpListener(asio::io_context& queue, asio::ip::udp::socket socket, std::shared_ptr<DatagramSender> sender)
    : queue_(queue),
      socket_(std::move(socket)),
      port_([this] {
        asio::error_code ignored;
        return socket_.local_endpoint(ignored).port();
      }()),
      sender_(std::move(sender)),
      receiveBuffer_(kReceiveBufferSize) {}

template <class Work>
void AsioUdpListener::onQueue(Work work) {
  asio::dispatch(queue_, [self = shared_from_this(), work = std::move(work)]() mutable { work(); });
}

void AsioUdpListener::setStateHandler(StateHandler handler) {
  onQueue([this, handler = std::move(handler)]() mutable { stateHandler_ = std::move(handler); });
}

void AsioUdpListener::setNewFlowHandler(NewFlowHandler handler) {
  onQueue([this, handler = std::move(handler)]() mutable { newFlowHandler_ = std::move(handler); });
}

void AsioUdpListener::start() {
  onQueue([this] {
    if (phase_ != Phase::idle) {
      return;
    }
    phase_ = Phase::listening;
    report(StateKind::ready, std::nullopt);
    receiveNext();
  });
}

void AsioUdpListener::cancel() {
  onQueue([this] {
    if (phase_ == Phase::cancelled) {
      return;
    }
    const Phase previous = std::exchange(phase_, Phase::cancelled);
    asio::error_code ignored;
    socket_.close(ignored);
    flows_.clear();
    openFlowCount_ = 0;
    if (previous != Phase::failed) {
      report(StateKind::cancelled, std::nullopt);
    }
  });
}

void AsioUdpListener::receiveNext() {
  std::weak_ptr<AsioUdpListener> weakSelf = shared_from_this();
  socket_.async_receive_from(asio::buffer(receiveBuffer_), receivedFrom_,
                             [weakSelf](const asio::error_code& error, std::size_t length) {
                               if (auto self = weakSelf.lock()) {
                                 self->onReceived(error, length);
                               }
                             });
}

void AsioUdpListener::onReceived(const asio::error_code& error, std::size_t length) {
  if (phase_ != Phase::listening) {
    return;
  }
  if (error && !isTransientReceiveError(error)) {
    phase_ = Phase::failed;
    asio::error_code ignored;
    socket_.close(ignored);
    report(StateKind::failed, NetworkError{error.message()});
    return;
  }
  if (!error) {
    handleDatagram(std::span<const std::uint8_t>(receiveBuffer_.data(), length));
  }
  receiveNext();
}

void AsioUdpListener::handleDatagram(std::span<const std::uint8_t> datagram) {
  if (auto known = flows_.find(receivedFrom_); known != flows_.end()) {
    known->second->deliver(datagram);
    return;
  }
  if (!newFlowHandler_) {
    return;  // nobody would own the flow
  }
  if (flows_.size() >= kMaximumOpenFlows) {
    if (!ignoringNewRemotes_) {
      ignoringNewRemotes_ = true;
      logger().error("UDP listener: {} flows open; ignoring datagrams from new remotes until one is cancelled", flows_.size());
    }
    return;
  }
  ignoringNewRemotes_ = false;
  auto flow = std::make_shared<AsioUdpFlow>(queue_, weak_from_this(), receivedFrom_, sender_,
                                            Bytes(datagram.begin(), datagram.end()));
  flows_.emplace(receivedFrom_, flow);
  openFlowCount_ = flows_.size();
  newFlowHandler_(std::move(flow));
}

void AsioUdpListener::forget(const asio::ip::udp::endpoint& remote, const AsioUdpFlow* flow) {
  if (auto known = flows_.find(remote); known != flows_.end() && known->second.get() == flow) {
    flows_.erase(known);
    openFlowCount_ = flows_.size();
  }
}

void AsioUdpListener::report(StateKind state, std::optional<NetworkError> error) {
  asio::post(queue_, [self = shared_from_this(), state, error = std::move(error)] {
    if (auto handler = self->stateHandler_) {
      handler(state, error);
    }
  });
}

AsioUdpFlow::AsioUdpFlow(asio::io_context& queue, std::weak_ptr<AsioUdpListener> listener, asio::ip::udp::endpoint remote,
                         std::shared_ptr<DatagramSender> sender, Bytes hello)
    : queue_(queue),
      listener_(std::move(listener)),
      remote_(std::move(remote)),
      unreadHello_(std::move(hello)),
      sender_(std::move(sender)) {}

// Runs inline when already on the queue's thread, so a cancel() from a callback takes effect at once.
template <class Work>
void AsioUdpFlow::onQueue(Work work) {
  asio::dispatch(queue_, [self = shared_from_this(), work = std::move(work)]() mutable { work(); });
}

void AsioUdpFlow::setStateHandler(StateHandler handler) {
  onQueue([this, handler = std::move(handler)]() mutable { stateHandler_ = std::move(handler); });
}

void AsioUdpFlow::start() {
  onQueue([this] {
    if (stateKind() != ConnectionStateKind::setup) {
      return;
    }
    report(ConnectionStatus{ConnectionStateKind::ready, std::nullopt});
  });
}

void AsioUdpFlow::receiveMessage(ReceiveHandler handler) {
  onQueue([this, handler = std::move(handler)]() mutable {
    if (stateKind() == ConnectionStateKind::cancelled) {
      return;
    }
    if (unreadHello_) {
      asio::post(queue_, [self = shared_from_this(), handler = std::move(handler), hello = std::move(*unreadHello_)]() mutable {
        handler(std::move(hello));
      });
      unreadHello_.reset();
      return;
    }
    pendingReceive_ = std::move(handler);
  });
}

void AsioUdpFlow::deliver(std::span<const std::uint8_t> datagram) {
  if (!pendingReceive_) {
    return;
  }
  asio::post(queue_, [self = shared_from_this(), handler = std::exchange(pendingReceive_, nullptr),
                      bytes = Bytes(datagram.begin(), datagram.end())]() mutable { handler(std::move(bytes)); });
}

std::optional<NetworkError> AsioUdpFlow::sendDatagrams(std::span<const std::uint8_t> train, std::size_t datagramSize) {
  std::shared_ptr<DatagramSender> sender;
  {
    std::lock_guard lock(senderLock_);
    sender = sender_;
  }
  if (!sender) {
    return NetworkError{std::system_category().message(ECANCELED)};
  }
  return sender->send(remote_.data(), static_cast<socklen_t>(remote_.size()), train, datagramSize);
}

void AsioUdpFlow::cancel() {
  {
    std::lock_guard lock(senderLock_);
    sender_.reset();
  }
  onQueue([this] {
    if (stateKind() == ConnectionStateKind::cancelled) {
      return;
    }
    pendingReceive_ = nullptr;
    unreadHello_.reset();
    if (auto listener = listener_.lock()) {
      listener->forget(remote_, this);
    }
    report(ConnectionStatus{ConnectionStateKind::cancelled, std::nullopt});
  });
}

ConnectionStatus AsioUdpFlow::state() const {
  std::lock_guard lock(stateLock_);
  return state_;
}

ConnectionStateKind AsioUdpFlow::stateKind() const { return state().kind; }

std::optional<Endpoint> AsioUdpFlow::remoteEndpoint() const {
  return toEndpoint(asio::ip::tcp::endpoint(remote_.address(), remote_.port()));
}

void AsioUdpFlow::report(ConnectionStatus state) {
  {
    std::lock_guard lock(stateLock_);
    state_ = state;
  }
  // The handler is looked up when the report runs, so a replaced handler is never called. The
  // last report lets go of it, which ends any cycle through a handler that holds the flow.
  asio::post(queue_, [self = shared_from_this(), state = std::move(state)] {
    auto handler = state.kind == ConnectionStateKind::cancelled ? std::exchange(self->stateHandler_, nullptr) : self->stateHandler_;
    if (handler) {
      handler(state);
    }
  });
}

Result<std::shared_ptr<UdpListener>> makeUdpListener(asio::io_context& queue, const UdpListenerSettings& settings) {
  asio::ip::udp::socket socket(queue);
  auto error = openAndBind(socket, asio::ip::udp::endpoint(asio::ip::address_v6::any(), settings.port));
  if (error && error != asio::error::address_in_use && error != asio::error::access_denied) {
    // No usable IPv6 on this machine (no such family, or "::" cannot be bound): IPv4 only.
    logger().debug("Dual-stack UDP socket unavailable ({}); receiving on IPv4 only", error.message());
    error = openAndBind(socket, asio::ip::udp::endpoint(asio::ip::address_v4::any(), settings.port));
  }
  if (error) {
    return Result<std::shared_ptr<UdpListener>>::failure(
        fmt::format("Cannot listen on UDP port {}: {}", settings.port, error.message()));
  }
  asio::error_code ignored;
  socket.set_option(asio::socket_base::send_buffer_size(AsioUdpListener::kSendBufferSize), ignored);

  // The sender's own descriptor stays valid while a send is under way on another thread, even
  // when the listener closes its socket meanwhile.
  const int sendDescriptor = ::fcntl(socket.native_handle(), F_DUPFD_CLOEXEC, 0);
  if (sendDescriptor < 0) {
    return Result<std::shared_ptr<UdpListener>>::failure(
        fmt::format("Cannot listen on UDP port {}: {}", settings.port, std::system_category().message(errno)));
  }
  auto sender = std::make_shared<DatagramSender>(sendDescriptor, settings.sendMode);
  return std::shared_ptr<UdpListener>(std::make_shared<AsioUdpListener>(queue, std::move(socket), std::move(sender)));
}

}  // namespace velmora
