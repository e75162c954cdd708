#pragma once

#include "platform/network.h"
#include "platform/result.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace asio {
class io_context;
}

namespace velmora {

// How a train of datagrams reaches the kernel.
enum class UdpSendMode {
  segmentationOffload,  // UDP_SEGMENT: up to 64 KiB of equal-sized datagrams per message, many messages per sendmmsg
  batched,              // sendmmsg, one message per datagram
  perDatagram,          // one sendto per datagram (for comparison only)
};

std::string_view describe(UdpSendMode mode);

// The datagrams of one remote address and port on a UdpListener's socket. The first datagram
// from that remote made the flow; flows are told apart by identity. Callbacks run on the
// listener's queue, never inline from a call into the flow.
class UdpFlow {
 public:
  using StateHandler = std::function<void(const ConnectionStatus&)>;
  using ReceiveHandler = std::function<void(Bytes datagram)>;

  virtual ~UdpFlow() = default;

  // Set before start(); a replaced handler is never called again.
  virtual void setStateHandler(StateHandler handler) = 0;
  // Reports ready: the remote has spoken already. Once cancelled, reports nothing more.
  virtual void start() = 0;
  // Hands over one datagram: the one that made the flow if it was not received yet, otherwise
  // the next to arrive. Datagrams arriving while no receive is armed are dropped.
  virtual void receiveMessage(ReceiveHandler handler) = 0;
  // Sends `train`: datagrams of `datagramSize` bytes laid back to back, the last possibly shorter,
  // in order, on the calling thread (any thread, several at once). Returns the first error; the
  // rest of the train is then not sent.
  virtual std::optional<NetworkError> sendDatagrams(std::span<const std::uint8_t> train, std::size_t datagramSize) = 0;
  // Forgets the flow (a later datagram from the same remote makes a new one), fails later sends
  // and reports cancelled once. Idempotent, any thread.
  virtual void cancel() = 0;
  virtual ConnectionStatus state() const = 0;
  virtual std::optional<Endpoint> remoteEndpoint() const = 0;
};

// One UDP socket on every local address; each new remote address and port becomes a UdpFlow.
class UdpListener {
 public:
  enum class StateKind { ready, failed, cancelled };
  using StateHandler = std::function<void(StateKind state, std::optional<NetworkError> error)>;
  using NewFlowHandler = std::function<void(std::shared_ptr<UdpFlow> flow)>;

  virtual ~UdpListener() = default;

  // Set before start(). New flows are handed over unstarted.
  virtual void setStateHandler(StateHandler handler) = 0;
  virtual void setNewFlowHandler(NewFlowHandler handler) = 0;
  virtual void start() = 0;
  // Stops receiving and closes the socket once no flow sends any more; idempotent. Flows made
  // earlier keep sending until they are cancelled.
  virtual void cancel() = 0;
  virtual std::uint16_t port() const = 0;
  // Flows made and not yet cancelled.
  virtual std::size_t openFlowCount() const = 0;
  // The path sends take now: segmentation offload falls back to batched once the kernel refuses it.
  virtual UdpSendMode sendMode() const = 0;
};

std::string describe(UdpListener::StateKind state, const std::optional<NetworkError>& error);

struct UdpListenerSettings {
  std::uint16_t port = 0;  // 0 picks a free port
  UdpSendMode sendMode = UdpSendMode::segmentationOffload;
};

using UdpListenerFactory =
    std::function<Result<std::shared_ptr<UdpListener>>(asio::io_context& queue, const UdpListenerSettings& settings)>;

}  // namespace velmora
