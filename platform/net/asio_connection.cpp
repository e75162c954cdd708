#include "platform/net/asio_connection.h"

#include <fmt/format.h>

#include <asio/connect.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>

#include <algorithm>
#include <utility>

namespace velmora {
namespace {

NetworkError networkError(const asio::error_code& error) { return NetworkError{error.message()}; }

// Asio words ECANCELED as "Operation aborted."; the system's own text reads better in logs.
NetworkError cancelledError() { return NetworkError{"Operation canceled"}; }

}  // namespace

Endpoint toEndpoint(const asio::ip::tcp::endpoint& endpoint) {
  auto address = endpoint.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return Endpoint{address.to_string(), endpoint.port()};
}

AsioConnection::AsioConnection(asio::io_context& queue, asio::ip::tcp::socket socket) : queue_(queue), socket_(std::move(socket)) {}

AsioConnection::AsioConnection(asio::io_context& queue, std::string host, std::uint16_t port)
    : queue_(queue), socket_(queue), target_(OutgoingTarget{std::move(host), port}), resolver_(std::in_place, queue) {}

// Runs inline when already on the queue's thread, so a cancel() from a callback takes effect at once.
template <class Work>
void AsioConnection::onQueue(Work work) {
  asio::dispatch(queue_, [self = shared_from_this(), work = std::move(work)]() mutable { work(); });
}

void AsioConnection::setStateHandler(StateHandler handler) {
  onQueue([this, handler = std::move(handler)]() mutable { stateHandler_ = std::move(handler); });
}

void AsioConnection::start() {
  onQueue([this] {
    if (stateKind() != ConnectionStateKind::setup) {
      return;
    }
    report(ConnectionStatus{ConnectionStateKind::preparing, std::nullopt});
    if (target_) {
      connect();
    } else {
      becomeReady();
    }
  });
}

void AsioConnection::receive(std::size_t minimumLength, std::size_t maximumLength, ReceiveHandler handler) {
  onQueue([this, minimumLength, maximumLength, handler = std::move(handler)]() mutable {
    std::optional<NetworkError> refusal = terminalError();
    if (minimumLength < 1 || minimumLength > maximumLength || maximumLength > kMaximumReceiveLength) {
      refusal = NetworkError{fmt::format("Invalid receive length: minimum {}, maximum {} (allowed 1 to {})", minimumLength,
                                         maximumLength, kMaximumReceiveLength)};
    }
    if (refusal) {
      asio::post(queue_, [self = shared_from_this(), handler = std::move(handler), refusal] { handler({}, false, refusal); });
      return;
    }
    receives_.push_back(PendingReceive{minimumLength, maximumLength, std::move(handler), {}});
    armRead();
  });
}

void AsioConnection::send(Bytes bytes, SendCompletion completion) {
  onQueue([this, bytes = std::move(bytes), completion = std::move(completion)]() mutable {
    if (auto refusal = terminalError()) {
      asio::post(queue_, [self = shared_from_this(), completion = std::move(completion), refusal] { completion(refusal); });
      return;
    }
    sends_.push_back(PendingSend{std::make_shared<const Bytes>(std::move(bytes)), std::move(completion)});
    armWrite();
  });
}

void AsioConnection::cancel() {
  onQueue([this] {
    auto kind = stateKind();
    if (kind == ConnectionStateKind::cancelled) {
      return;
    }
    abandonOperations(cancelledError());
    asio::error_code ignored;
    socket_.close(ignored);
    if (resolver_) {
      resolver_->cancel();
    }
    {
      std::lock_guard lock(endpointsLock_);
      endpoints_.reset();
    }
    if (kind == ConnectionStateKind::failed) {
      // A failed connection stays failed: its owner has been told once how it ended.
      return;
    }
    report(ConnectionStatus{ConnectionStateKind::cancelled, std::nullopt});
  });
}

ConnectionStatus AsioConnection::state() const {
  std::lock_guard lock(stateLock_);
  return state_;
}

std::optional<Endpoint> AsioConnection::remoteEndpoint() const {
  std::lock_guard lock(endpointsLock_);
  return endpoints_ ? std::optional(endpoints_->remote) : std::nullopt;
}

std::optional<Endpoint> AsioConnection::localEndpoint() const {
  std::lock_guard lock(endpointsLock_);
  return endpoints_ ? std::optional(endpoints_->local) : std::nullopt;
}

ConnectionStateKind AsioConnection::stateKind() const {
  std::lock_guard lock(stateLock_);
  return state_.kind;
}

std::optional<NetworkError> AsioConnection::terminalError() const {
  auto current = state();
  if (current.kind == ConnectionStateKind::cancelled) {
    return cancelledError();
  }
  if (current.kind == ConnectionStateKind::failed) {
    return current.error.value_or(NetworkError{"Connection failed"});
  }
  return std::nullopt;
}

void AsioConnection::report(ConnectionStatus state) {
  {
    std::lock_guard lock(stateLock_);
    state_ = state;
  }
  // The handler is looked up when the report runs, so a replaced handler is never called.
  asio::post(queue_, [self = shared_from_this(), state = std::move(state)] {
    if (auto handler = self->stateHandler_) {
      handler(state);
    }
  });
}

void AsioConnection::connect() {
  std::weak_ptr<AsioConnection> weakSelf = shared_from_this();
  resolver_->async_resolve(target_->host, std::to_string(target_->port), asio::ip::tcp::resolver::numeric_service,
                           [weakSelf](const asio::error_code& error, const asio::ip::tcp::resolver::results_type& results) {
                             if (auto self = weakSelf.lock()) {
                               self->onResolved(error, results);
                             }
                           });
}

void AsioConnection::onResolved(const asio::error_code& error, const asio::ip::tcp::resolver::results_type& results) {
  if (stateKind() != ConnectionStateKind::preparing) {
    return;
  }
  if (error) {
    fail(error);
    return;
  }
  std::weak_ptr<AsioConnection> weakSelf = shared_from_this();
  asio::async_connect(socket_, results, [weakSelf](const asio::error_code& connectError, const asio::ip::tcp::endpoint&) {
    if (auto self = weakSelf.lock()) {
      self->onConnected(connectError);
    }
  });
}

void AsioConnection::onConnected(const asio::error_code& error) {
  if (stateKind() != ConnectionStateKind::preparing) {
    return;
  }
  if (error) {
    fail(error);
    return;
  }
  becomeReady();
}

void AsioConnection::becomeReady() {
  asio::error_code error;
  auto remote = socket_.remote_endpoint(error);
  asio::ip::tcp::endpoint local;
  if (!error) {
    local = socket_.local_endpoint(error);
  }
  if (!error) {
    // Reads are reactor-style (wait, then read what is there), so an idle peer holds no buffer.
    socket_.non_blocking(true, error);
  }
  if (error) {
    fail(error);
    return;
  }
  asio::error_code ignored;
  socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
  {
    std::lock_guard lock(endpointsLock_);
    endpoints_ = Endpoints{toEndpoint(remote), toEndpoint(local)};
  }
  report(ConnectionStatus{ConnectionStateKind::ready, std::nullopt});
  armRead();
  armWrite();
}

void AsioConnection::armRead() {
  if (readArmed_ || receives_.empty() || stateKind() != ConnectionStateKind::ready) {
    return;
  }
  readArmed_ = true;
  std::weak_ptr<AsioConnection> weakSelf = shared_from_this();
  socket_.async_wait(asio::socket_base::wait_read, [weakSelf](const asio::error_code& error) {
    if (auto self = weakSelf.lock()) {
      self->onReadable(error);
    }
  });
}

void AsioConnection::onReadable(const asio::error_code& error) {
  readArmed_ = false;
  if (receives_.empty()) {
    return;  // cancelled or failed meanwhile; the receives were completed then
  }
  if (error) {
    completeReceive(false, networkError(error));
    fail(error);
    return;
  }
  auto& pending = receives_.front();
  auto alreadyReceived = pending.received.size();
  auto room = pending.maximumLength - alreadyReceived;
  // Sized by what is waiting, so a small message does not drag a 64 KiB buffer along.
  asio::error_code availableError;
  auto waiting = socket_.available(availableError);
  auto chunk = availableError ? room : std::clamp<std::size_t>(waiting, 1, room);
  pending.received.resize(alreadyReceived + chunk);
  asio::error_code readError;
  auto count = socket_.read_some(asio::buffer(pending.received.data() + alreadyReceived, chunk), readError);
  pending.received.resize(alreadyReceived + count);

  if (readError == asio::error::would_block || readError == asio::error::try_again || readError == asio::error::interrupted) {
    armRead();
  } else if (readError == asio::error::eof) {
    completeReceive(true, std::nullopt);
    armRead();
  } else if (readError) {
    completeReceive(false, networkError(readError));
    fail(readError);
  } else if (pending.received.size() >= pending.minimumLength) {
    completeReceive(false, std::nullopt);
    armRead();
  } else {
    armRead();
  }
}

void AsioConnection::completeReceive(bool isComplete, std::optional<NetworkError> error) {
  auto finished = std::move(receives_.front());
  receives_.pop_front();
  asio::post(queue_, [self = shared_from_this(), finished = std::move(finished), isComplete, error = std::move(error)]() mutable {
    finished.handler(std::move(finished.received), isComplete, std::move(error));
  });
}

void AsioConnection::armWrite() {
  if (writeArmed_ || sends_.empty() || stateKind() != ConnectionStateKind::ready) {
    return;
  }
  writeArmed_ = true;
  std::weak_ptr<AsioConnection> weakSelf = shared_from_this();
  auto bytes = sends_.front().bytes;
  // The buffer is captured too: it must outlive the write even if the connection is dropped.
  asio::async_write(socket_, asio::buffer(*bytes), [weakSelf, bytes](const asio::error_code& error, std::size_t) {
    if (auto self = weakSelf.lock()) {
      self->onWritten(error);
    }
  });
}

void AsioConnection::onWritten(const asio::error_code& error) {
  writeArmed_ = false;
  if (sends_.empty()) {
    return;  // cancelled or failed meanwhile
  }
  auto finished = std::move(sends_.front());
  sends_.pop_front();
  std::optional<NetworkError> sendError;
  if (error) {
    sendError = networkError(error);
  }
  asio::post(queue_, [self = shared_from_this(), completion = std::move(finished.completion), sendError] { completion(sendError); });
  if (error) {
    fail(error);
    return;
  }
  armWrite();
}

void AsioConnection::fail(const asio::error_code& error) {
  auto kind = stateKind();
  if (kind == ConnectionStateKind::failed || kind == ConnectionStateKind::cancelled) {
    return;
  }
  auto failure = networkError(error);
  abandonOperations(failure);
  // A failed socket is of no further use; closing it now releases the descriptor even if the
  // owner keeps the connection object around.
  asio::error_code ignored;
  socket_.close(ignored);
  report(ConnectionStatus{ConnectionStateKind::failed, failure});
}

void AsioConnection::abandonOperations(const NetworkError& error) {
  auto receives = std::exchange(receives_, {});
  auto sends = std::exchange(sends_, {});
  if (receives.empty() && sends.empty()) {
    return;
  }
  asio::post(queue_, [self = shared_from_this(), receives = std::move(receives), sends = std::move(sends), error]() mutable {
    for (auto& pending : receives) {
      pending.handler(std::move(pending.received), false, error);
    }
    for (auto& pending : sends) {
      pending.completion(error);
    }
  });
}

std::shared_ptr<Connection> makeTcpConnection(asio::io_context& queue, std::string host, std::uint16_t port) {
  return std::make_shared<AsioConnection>(queue, std::move(host), port);
}

}  // namespace velmora
