#include "platform/net/asio_tcp_listener.h"

#include "platform/log/log.h"
#include "platform/net/asio_connection.h"

#include <fmt/format.h>

#include <asio/dispatch.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>

#include <cerrno>
#include <utility>

namespace velmora {
namespace {

const log::Logger& logger() {
  static const log::Logger instance("ControlChannel");
  return instance;
}

// Failures of one accept that say nothing about the listening socket (accept(2) asks to treat
// the network errors among them like EAGAIN).
bool isTransientAcceptError(const asio::error_code& error) {
  if (error.category() != asio::system_category()) {
    return false;
  }
  switch (error.value()) {
    case EMFILE:
    case ENFILE:
    case ECONNABORTED:
    case ENOBUFS:
    case ENOMEM:
    case EPERM:
    case EPROTO:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
      return true;
    default:
      return false;
  }
}

asio::error_code openAndBind(asio::ip::tcp::acceptor& acceptor, const asio::ip::tcp::endpoint& endpoint) {
  asio::error_code error;
  acceptor.open(endpoint.protocol(), error);
  if (!error && endpoint.address().is_v6()) {
    acceptor.set_option(asio::ip::v6_only(false), error);
  }
  if (!error) {
    acceptor.set_option(asio::socket_base::reuse_address(true), error);
  }
  if (!error) {
    acceptor.bind(endpoint, error);
  }
  if (!error) {
    acceptor.listen(asio::socket_base::max_listen_connections, error);
  }
  if (error) {
    asio::error_code ignored;
    acceptor.close(ignored);
  }
  return error;
}

}  // namespace

AsioTcpListener::AsioTcpListener(asio::io_context& queue, asio::ip::tcp::acceptor acceptor)
    : queue_(queue), acceptor_(std::move(acceptor)), acceptRetryTimer_(queue), port_([this] {
        asio::error_code ignored;
        return acceptor_.local_endpoint(ignored).port();
      }()) {}

template <class Work>
void AsioTcpListener::onQueue(Work work) {
  asio::dispatch(queue_, [self = shared_from_this(), work = std::move(work)]() mutable { work(); });
}

void AsioTcpListener::setStateHandler(StateHandler handler) {
  onQueue([this, handler = std::move(handler)]() mutable { stateHandler_ = std::move(handler); });
}

void AsioTcpListener::setNewConnectionHandler(NewConnectionHandler handler) {
  onQueue([this, handler = std::move(handler)]() mutable { newConnectionHandler_ = std::move(handler); });
}

void AsioTcpListener::start() {
  onQueue([this] {
    if (phase_ != Phase::idle) {
      return;
    }
    phase_ = Phase::listening;
    report(StateKind::ready, std::nullopt);
    acceptNext();
  });
}

void AsioTcpListener::cancel() {
  onQueue([this] {
    if (phase_ == Phase::cancelled) {
      return;
    }
    auto previous = std::exchange(phase_, Phase::cancelled);
    asio::error_code ignored;
    acceptor_.close(ignored);
    acceptRetryTimer_.cancel();
    if (previous != Phase::failed) {
      report(StateKind::cancelled, std::nullopt);
    }
  });
}

void AsioTcpListener::acceptNext() {
  std::weak_ptr<AsioTcpListener> weakSelf = shared_from_this();
  acceptor_.async_accept(queue_, [weakSelf](const asio::error_code& error, asio::ip::tcp::socket socket) {
    if (auto self = weakSelf.lock()) {
      self->onAccepted(error, std::move(socket));
    }
  });
}

void AsioTcpListener::onAccepted(const asio::error_code& error, asio::ip::tcp::socket socket) {
  if (phase_ != Phase::listening) {
    return;  // a socket accepted just before cancel() closes with `socket`
  }
  if (!error) {
    auto connection = std::make_shared<AsioConnection>(queue_, std::move(socket));
    if (auto handler = newConnectionHandler_) {
      handler(std::move(connection));
    }
    acceptNext();
    return;
  }
  if (isTransientAcceptError(error)) {
    // The pending peer stays in the backlog, so accepting again at once would spin.
    logger().error("Accepting a TCP connection failed: {}; retrying", error.message());
    pauseAccepting();
    return;
  }
  phase_ = Phase::failed;
  asio::error_code ignored;
  acceptor_.close(ignored);
  report(StateKind::failed, NetworkError{error.message()});
}

void AsioTcpListener::pauseAccepting() {
  std::weak_ptr<AsioTcpListener> weakSelf = shared_from_this();
  acceptRetryTimer_.expires_after(kAcceptRetryPause);
  acceptRetryTimer_.async_wait([weakSelf](const asio::error_code& error) {
    auto self = weakSelf.lock();
    if (error || !self || self->phase_ != Phase::listening) {
      return;
    }
    self->acceptNext();
  });
}

void AsioTcpListener::report(StateKind state, std::optional<NetworkError> error) {
  asio::post(queue_, [self = shared_from_this(), state, error = std::move(error)] {
    if (auto handler = self->stateHandler_) {
      handler(state, error);
    }
  });
}

Result<std::shared_ptr<TcpListener>> makeTcpListener(asio::io_context& queue, std::uint16_t port) {
  asio::ip::tcp::acceptor acceptor(queue);
  auto error = openAndBind(acceptor, asio::ip::tcp::endpoint(asio::ip::address_v6::any(), port));
  if (error && error != asio::error::address_in_use && error != asio::error::access_denied) {
    // No usable IPv6 on this machine (no such family, or "::" cannot be bound): IPv4 only.
    logger().debug("Dual-stack listener unavailable ({}); listening on IPv4 only", error.message());
    error = openAndBind(acceptor, asio::ip::tcp::endpoint(asio::ip::address_v4::any(), port));
  }
  if (error) {
    return Result<std::shared_ptr<TcpListener>>::failure(
        fmt::format("Cannot listen on TCP port {}: {}", port, error.message()));
  }
  return std::shared_ptr<TcpListener>(std::make_shared<AsioTcpListener>(queue, std::move(acceptor)));
}

}  // namespace velmora
