#pragma once

// A plain blocking UDP socket on a loopback address, the kind of peer a video client is, for the
// loopback tests of the UDP transport and of the video server.

#include "platform/net/net_test_support.h"
#include "platform/network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace velmora::testing {

class UdpTestPeer {
 public:
  // `address` is an IPv4 or IPv6 loopback address; the port is picked by the system.
  explicit UdpTestPeer(const std::string& address = "127.0.0.1") {
    if (::inet_pton(AF_INET, address.c_str(), &address_.v4.sin_addr) == 1) {
      address_.v4.sin_family = AF_INET;
      length_ = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, address.c_str(), &address_.v6.sin6_addr) == 1) {
      address_.v6.sin6_family = AF_INET6;
      length_ = sizeof(sockaddr_in6);
    } else {
      throw std::invalid_argument("not an address: " + address);
    }
    descriptor_ = ::socket(address_.any.sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    // As large as the system allows, so that a whole test frame waits in the queue unread.
    const int receiveBufferSize = 4 * 1024 * 1024;
    ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof(receiveBufferSize));
    if (descriptor_ < 0 || ::bind(descriptor_, &address_.any, length_) != 0 ||
        ::getsockname(descriptor_, &address_.any, &length_) != 0) {
      throw std::runtime_error(std::string("UDP test peer: ") + std::strerror(errno));
    }
  }
  ~UdpTestPeer() { ::close(descriptor_); }
  UdpTestPeer(const UdpTestPeer&) = delete;
  UdpTestPeer& operator=(const UdpTestPeer&) = delete;

  // To `port` on the peer's own address: the host listens on every local address.
  void sendTo(std::uint16_t port, const Bytes& bytes) {
    Address destination = address_;
    (address_.any.sa_family == AF_INET ? destination.v4.sin_port : destination.v6.sin6_port) = htons(port);
    if (::sendto(descriptor_, bytes.data(), bytes.size(), 0, &destination.any, length_) < 0) {
      throw std::runtime_error(std::string("UDP test peer send: ") + std::strerror(errno));
    }
  }
  void hello(std::uint16_t port) { sendTo(port, Bytes{'h', 'e', 'l', 'l', 'o'}); }

  // The next datagram, or nothing after `timeout`.
  std::optional<Bytes> receive(std::chrono::milliseconds timeout = kEventTimeout) {
    pollfd readable{descriptor_, POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) {
      return std::nullopt;
    }
    Bytes datagram(65536);
    const auto length = ::recv(descriptor_, datagram.data(), datagram.size(), 0);
    if (length < 0) {
      return std::nullopt;
    }
    datagram.resize(static_cast<std::size_t>(length));
    return datagram;
  }

  // True when no datagram is waiting now.
  bool hasNothingToRead() { return !receive(std::chrono::milliseconds(0)); }

  std::uint16_t port() const {
    return ntohs(address_.any.sa_family == AF_INET ? address_.v4.sin_port : address_.v6.sin6_port);
  }

 private:
  union Address {
    sockaddr any;
    sockaddr_in v4;
    sockaddr_in6 v6;
  };
  Address address_{};
  socklen_t length_ = 0;
  int descriptor_ = -1;
};

}  // namespace velmora::testing
