#pragma once

#include "platform/net/datagram_sender.h"
#include "platform/net/udp_listener.h"
#include "platform/network.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace velmora {

class AsioUdpFlow;

// A UDP socket whose receives run on one io_context; each new remote becomes an AsioUdpFlow.
// Sends bypass the io_context: they run on the caller's thread through a DatagramSender.
class AsioUdpListener final : public UdpListener, public std::enable_shared_from_this<AsioUdpListener> {
 public:
  // Past this many open flows, datagrams from new remotes are ignored until a flow is cancelled,
  // so an owner that keeps flows cannot be made to grow without bound.
  static constexpr std::size_t kMaximumOpenFlows = 256;
  // Room for a large keyframe's whole train, so that a burst rarely waits for the queue discipline.
  static constexpr int kSendBufferSize = 4 * 1024 * 1024;

  AsioUdpListener(asio::io_context& queue, asio::ip::udp::socket socket, std::shared_ptr<DatagramSender> sender);

  void setStateHandler(StateHandler handler) override;
  void setNewFlowHandler(NewFlowHandler handler) override;
  void start() override;
  void cancel() override;
  std::uint16_t port() const override { return port_; }
  std::size_t openFlowCount() const override { return openFlowCount_.load(); }
  UdpSendMode sendMode() const override { return sender_->mode(); }

 private:
  friend class AsioUdpFlow;
  enum class Phase { idle, listening, failed, cancelled };

  template <class Work>
  void onQueue(Work work);
  void receiveNext();
  void onReceived(const asio::error_code& error, std::size_t length);
  void handleDatagram(std::span<const std::uint8_t> datagram);
  void forget(const asio::ip::udp::endpoint& remote, const AsioUdpFlow* flow);
  void report(StateKind state, std::optional<NetworkError> error);

  asio::io_context& queue_;
  asio::ip::udp::socket socket_;
  const std::uint16_t port_;
  const std::shared_ptr<DatagramSender> sender_;

  // Touched only on the queue's thread.
  Phase phase_ = Phase::idle;
  StateHandler stateHandler_;
  NewFlowHandler newFlowHandler_;
  std::vector<std::uint8_t> receiveBuffer_;
  asio::ip::udp::endpoint receivedFrom_;
  std::map<asio::ip::udp::endpoint, std::shared_ptr<AsioUdpFlow>> flows_;
  bool ignoringNewRemotes_ = false;

  std::atomic<std::size_t> openFlowCount_{0};
};

class AsioUdpFlow final : public UdpFlow, public std::enable_shared_from_this<AsioUdpFlow> {
 public:
  AsioUdpFlow(asio::io_context& queue, std::weak_ptr<AsioUdpListener> listener, asio::ip::udp::endpoint remote,
              std::shared_ptr<DatagramSender> sender, Bytes hello);

  void setStateHandler(StateHandler handler) override;
  void start() override;
  void receiveMessage(ReceiveHandler handler) override;
  std::optional<NetworkError> sendDatagrams(std::span<const std::uint8_t> train, std::size_t datagramSize) override;
  void cancel() override;
  ConnectionStatus state() const override;
  std::optional<Endpoint> remoteEndpoint() const override;

 private:
  friend class AsioUdpListener;

  template <class Work>
  void onQueue(Work work);
  ConnectionStateKind stateKind() const;
  void report(ConnectionStatus state);
  // A later datagram from the remote, on the queue's thread.
  void deliver(std::span<const std::uint8_t> datagram);

  asio::io_context& queue_;
  const std::weak_ptr<AsioUdpListener> listener_;
  const asio::ip::udp::endpoint remote_;

  // Touched only on the queue's thread.
  StateHandler stateHandler_;
  ReceiveHandler pendingReceive_;
  std::optional<Bytes> unreadHello_;

  mutable std::mutex stateLock_;
  ConnectionStatus state_;
  // Dropped on cancel(), so that sends on any thread fail from that moment on.
  mutable std::mutex senderLock_;
  std::shared_ptr<DatagramSender> sender_;
};

// Binds `settings.port` on "::" (dual-stack, IPv4 peers read as plain IPv4), or on 0.0.0.0 where
// the machine has no IPv6, with local address reuse. Fails with the system's reason.
Result<std::shared_ptr<UdpListener>> makeUdpListener(asio::io_context& queue, const UdpListenerSettings& settings);

}  // namespace velmora
