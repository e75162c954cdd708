#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

using Bytes = std::vector<std::uint8_t>;

struct NetworkError {
  std::string description;
};

struct Endpoint {
  std::string host;  // IPv4 peers of a dual-stack socket as plain IPv4 text ("192.168.1.20")
  std::uint16_t port = 0;
};

// The states a connection reports, in the order a healthy connection passes through them.
enum class ConnectionStateKind { setup, preparing, waiting, ready, failed, cancelled };

struct ConnectionStatus {
  ConnectionStateKind kind = ConnectionStateKind::setup;
  std::optional<NetworkError> error;  // set for failed (and waiting, where there is a reason)
};

// Textual description of a state, as used in log lines ("ready", "failed(Connection reset by peer)").
std::string describe(const ConnectionStatus& state);

// One TCP connection. Every callback runs on the queue the connection was made for, never inline
// from a call into the connection. Connections are told apart by identity.
class Connection {
 public:
  using StateHandler = std::function<void(const ConnectionStatus&)>;
  // bytes (possibly empty), whether the peer closed its side, and the error if the receive failed.
  using ReceiveHandler = std::function<void(Bytes bytes, bool isComplete, std::optional<NetworkError> error)>;
  using SendCompletion = std::function<void(std::optional<NetworkError> error)>;

  virtual ~Connection() = default;

  // Set before start(); replaced handlers are never called again.
  virtual void setStateHandler(StateHandler handler) = 0;
  // Reports preparing then ready (or failed).
  virtual void start() = 0;
  // Arms exactly one receive of between minimumLength and maximumLength bytes (1 <= min <= max <= 65536).
  virtual void receive(std::size_t minimumLength, std::size_t maximumLength, ReceiveHandler handler) = 0;
  // Sends the whole buffer; the completion runs once it was handed to the system, or failed.
  virtual void send(Bytes bytes, SendCompletion completion) = 0;
  // Closes the socket and reports cancelled once; later calls do nothing. Outstanding receives
  // and sends complete with an error.
  virtual void cancel() = 0;
  // The current state (for log lines).
  virtual ConnectionStatus state() const = 0;
  // Nothing before the connection was established or after it was cancelled.
  virtual std::optional<Endpoint> remoteEndpoint() const = 0;
  virtual std::optional<Endpoint> localEndpoint() const = 0;
};

// A TCP listener on every local address (IPv6 and IPv4, dual-stack where the system allows).
class TcpListener {
 public:
  enum class StateKind { ready, failed, cancelled };
  using StateHandler = std::function<void(StateKind state, std::optional<NetworkError> error)>;
  using NewConnectionHandler = std::function<void(std::shared_ptr<Connection> connection)>;

  virtual ~TcpListener() = default;

  // Set before start(). Accepted connections are handed over unstarted; call start() on them.
  virtual void setStateHandler(StateHandler handler) = 0;
  virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
  virtual void start() = 0;
  // Stops accepting and closes the socket; idempotent.
  virtual void cancel() = 0;
  // The bound port (useful when created on port 0).
  virtual std::uint16_t port() const = 0;
};

}  // namespace velmora
