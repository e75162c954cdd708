#pragma once

#include "platform/network.h"

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace velmora {

// Host text and port of a socket address; IPv4-mapped IPv6 addresses read as plain IPv4.
Endpoint toEndpoint(const asio::ip::tcp::endpoint& endpoint);

// A TCP connection whose callbacks run on one io_context. Public calls may come from any thread;
// the socket itself is only touched on the io_context's thread.
class AsioConnection final : public Connection, public std::enable_shared_from_this<AsioConnection> {
 public:
  static constexpr std::size_t kMaximumReceiveLength = 65536;

  // An accepted socket of `queue`, connected already; start() only reports it.
  AsioConnection(asio::io_context& queue, asio::ip::tcp::socket socket);
  // An outgoing connection; start() resolves the host and connects.
  AsioConnection(asio::io_context& queue, std::string host, std::uint16_t port);

  void setStateHandler(StateHandler handler) override;
  void start() override;
  void receive(std::size_t minimumLength, std::size_t maximumLength, ReceiveHandler handler) override;
  void send(Bytes bytes, SendCompletion completion) override;
  void cancel() override;
  ConnectionStatus state() const override;
  std::optional<Endpoint> remoteEndpoint() const override;
  std::optional<Endpoint> localEndpoint() const override;

 private:
  struct PendingReceive {
    std::size_t minimumLength;
    std::size_t maximumLength;
    ReceiveHandler handler;
    Bytes received;
  };
  struct PendingSend {
    std::shared_ptr<const Bytes> bytes;
    SendCompletion completion;
  };
  struct OutgoingTarget {
    std::string host;
    std::uint16_t port;
  };
  struct Endpoints {
    Endpoint remote;
    Endpoint local;
  };

  template <class Work>
  void onQueue(Work work);
  ConnectionStateKind stateKind() const;
  std::optional<NetworkError> terminalError() const;
  void report(ConnectionStatus state);

  void connect();
  void onResolved(const asio::error_code& error, const asio::ip::tcp::resolver::results_type& results);
  void onConnected(const asio::error_code& error);
  void becomeReady();

  void armRead();
  void onReadable(const asio::error_code& error);
  void completeReceive(bool isComplete, std::optional<NetworkError> error);
  void armWrite();
  void onWritten(const asio::error_code& error);

  void fail(const asio::error_code& error);
  void abandonOperations(const NetworkError& error);

  asio::io_context& queue_;
  asio::ip::tcp::socket socket_;
  std::optional<OutgoingTarget> target_;
  std::optional<asio::ip::tcp::resolver> resolver_;

  // Touched only on the queue's thread.
  StateHandler stateHandler_;
  std::deque<PendingReceive> receives_;
  bool readArmed_ = false;
  std::deque<PendingSend> sends_;
  bool writeArmed_ = false;

  mutable std::mutex stateLock_;
  ConnectionStatus state_;
  mutable std::mutex endpointsLock_;
  std::optional<Endpoints> endpoints_;
};

// The client side, for tests and the reference client: start() resolves `host` and connects.
std::shared_ptr<Connection> makeTcpConnection(asio::io_context& queue, std::string host, std::uint16_t port);

}  // namespace velmora
