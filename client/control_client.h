#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/log/log.h"
#include "platform/network.h"
#include "protocol/control_message.h"
#include "protocol/frame_accumulator.h"
#include "protocol/handshake_message.h"

namespace velmora {

// The client's end of the control channel: connects, sends the ClientHello, then keeps reading
// what the host sends while control messages go out. The socket lives on a thread of its own,
// which also calls the handlers, in the order things happened.
class ControlClient {
 public:
  using Clock = std::chrono::steady_clock;
  // How long close() lets queued messages go out before it closes anyway.
  static constexpr std::chrono::seconds closeTimeout{2};

  // Exactly one of onRejected and onFailure ends a connection, unless close() came first; after
  // close() nothing is reported. Handlers must not call close().
  struct Handlers {
    // Every ServerHello; the first admits the client. `peerAddress` is the host's address on the
    // control connection.
    std::function<void(const ServerHello& hello, const std::string& peerAddress)> onServerHello;
    std::function<void(RejectionReason reason)> onRejected;
    // No connection, no answer in time, an undecodable or unexpected message, the host closing.
    std::function<void(const std::string& why)> onFailure;
  };

  explicit ControlClient(Handlers handlers);
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // Connects to `host` (an address or a name) and says hello; fails if the host has not answered
  // `handshakeTimeout` after this call. Call once.
  void start(std::string host, std::uint16_t port, const ClientHello& hello, Clock::duration handshakeTimeout);
  // Sends a message once the client is admitted; dropped (and logged) otherwise.
  void send(const ControlMessage& message);
  // Ends the connection as the client's own choice: what was sent goes out first (for at most
  // closeTimeout), then the socket closes. Returns once it has. Idempotent.
  void close();

 private:
  enum class Phase { idle, connecting, awaitingAnswer, admitted, closing, ended };

  // Everything below runs on the client's thread.
  void begin(std::string host, std::uint16_t port, Bytes helloFrame, Clock::duration handshakeTimeout);
  void handleConnectionState(const ConnectionStatus& state);
  void sendFrame(Bytes frame, std::string what);
  void armReceive();
  void handleReceived(const Bytes& bytes, bool peerClosed, const std::optional<NetworkError>& error);
  void handleMessage(const HandshakeMessage& message);
  void handleHandshakeDeadline();
  void fail(const std::string& why);
  void beginClose(std::shared_ptr<std::promise<void>> closed);
  void finishClose();
  void releaseCloseWaiters();
  bool isReading() const;

  Handlers handlers_;
  log::Logger logger_{"Client"};

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> keepRunning_;
  asio::steady_timer handshakeDeadline_;
  asio::steady_timer closeDeadline_;

  // Touched on the client's thread only.
  Phase phase_ = Phase::idle;
  std::string target_;  // "HOST port N", for messages
  std::chrono::milliseconds handshakeTimeout_{0};
  std::shared_ptr<Connection> connection_;
  std::string peerAddress_;
  FrameAccumulator accumulator_;
  std::size_t sendsInFlight_ = 0;
  std::vector<std::shared_ptr<std::promise<void>>> closeWaiters_;

  std::thread thread_;  // last: runs once everything above exists
};

}  // namespace velmora
