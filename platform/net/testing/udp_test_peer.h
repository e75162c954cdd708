#pragma once

// A plain blocking UDP socket on a loopback address, the kind of peer a video client is.

#include "platform/net/testing/net_test_support.h"
#include "platform/network.h"

#include <asio/ip/udp.hpp>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace velmora::testing {

class UdpTestPeer {
 public:
  // `address` is an IPv4 or IPv6 loopback address; the port is picked by the system.
  explicit UdpTestPeer(const std::string& address = "127.0.0.1")
      : socket_(context_, asio::ip::udp::endpoint(asio::ip::make_address(address), 0)) {
    // As large as the system allows, so that a whole test frame waits in the queue unread.
    socket_.set_option(asio::socket_base::receive_buffer_size(4 * 1024 * 1024));
  }

  // To `port` on the peer's own address: the host listens on every local address.
  void sendTo(std::uint16_t port, const Bytes& bytes) {
    socket_.send_to(asio::buffer(bytes), asio::ip::udp::endpoint(socket_.local_endpoint().address(), port));
  }
  void hello(std::uint16_t port) { sendTo(port, Bytes{'h', 'e', 'l', 'l', 'o'}); }

  // The next datagram, or nothing after `timeout`.
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = kEventTimeout) {
    pollfd readable{socket_.native_handle(), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) {
      return std::nullopt;
    }
    Bytes datagram(65536);
    asio::error_code error;
    datagram.resize(socket_.receive(asio::buffer(datagram), 0, error));
    return error ? std::nullopt : std::optional<Bytes>(std::move(datagram));
  }

  // True when no datagram is waiting now.
  bool hasNothingToRead() { return !receive(std::chrono::milliseconds(0)); }

  std::uint16_t port() const { return socket_.local_endpoint().port(); }

 private:
  asio::io_context context_;
  asio::ip::udp::socket socket_;
};

}  // namespace velmora::testing
