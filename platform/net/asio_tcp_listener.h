#pragma once

#include "platform/network.h"
#include "platform/result.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

namespace velmora {

// A listening TCP socket on every local address whose callbacks run on one io_context.
class AsioTcpListener final : public TcpListener, public std::enable_shared_from_this<AsioTcpListener> {
 public:
  // How long accepting pauses after a transient failure such as running out of descriptors.
  static constexpr std::chrono::milliseconds kAcceptRetryPause{200};

  AsioTcpListener(asio::io_context& queue, asio::ip::tcp::acceptor acceptor);

  void setStateHandler(StateHandler handler) override;
  void setNewConnectionHandler(NewConnectionHandler handler) override;
  void start() override;
  void cancel() override;
  std::uint16_t port() const override { return port_; }

 private:
  enum class Phase { idle, listening, failed, cancelled };

  template <class Work>
  void onQueue(Work work);
  void acceptNext();
  void onAccepted(const asio::error_code& error, asio::ip::tcp::socket socket);
  void pauseAccepting();
  void report(StateKind state, std::optional<NetworkError> error);

  asio::io_context& queue_;
  asio::ip::tcp::acceptor acceptor_;
  asio::steady_timer acceptRetryTimer_;
  const std::uint16_t port_;

  // Touched only on the queue's thread.
  Phase phase_ = Phase::idle;
  StateHandler stateHandler_;
  NewConnectionHandler newConnectionHandler_;
};

// Binds `port` on "::" (dual-stack), or on 0.0.0.0 where the machine has no IPv6. Port 0 picks a
// free port. Fails with the system's reason, for example "Address already in use".
Result<std::shared_ptr<TcpListener>> makeTcpListener(asio::io_context& queue, std::uint16_t port);

}  // namespace velmora
