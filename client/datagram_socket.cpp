#include "client/datagram_socket.h"

#include <fmt/format.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace velmora {

Result<std::unique_ptr<ConnectedDatagramSocket>> ConnectedDatagramSocket::connect(const std::string& host,
                                                                                  std::uint16_t port,
                                                                                  int receiveBufferBytes) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int lookup = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (lookup != 0 || found == nullptr) {
    return Result<std::unique_ptr<ConnectedDatagramSocket>>::failure(
        fmt::format("cannot resolve video host {}: {}", host, ::gai_strerror(lookup)));
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);

  FileDescriptor socket(::socket(found->ai_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!socket.isOpen()) {
    return Result<std::unique_ptr<ConnectedDatagramSocket>>::failure(
        fmt::format("cannot open a UDP socket: {}", std::strerror(errno)));
  }
  // A keyframe arrives as one burst of datagrams while the previous frame may still be decoding;
  // the kernel caps the request at net.core.rmem_max, which is fine.
  ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
  if (::connect(socket.get(), found->ai_addr, found->ai_addrlen) != 0) {
    return Result<std::unique_ptr<ConnectedDatagramSocket>>::failure(
        fmt::format("cannot address the video host {} port {}: {}", host, port, std::strerror(errno)));
  }
  return std::make_unique<ConnectedDatagramSocket>(std::move(socket));
}

ConnectedDatagramSocket::ConnectedDatagramSocket(FileDescriptor socket)
    : socket_(std::move(socket)), slots_(batchSize * slotSize) {}

std::uint16_t ConnectedDatagramSocket::localPort() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return 0;
  }
  if (address.ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
  }
  return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

int ConnectedDatagramSocket::send(std::span<const std::uint8_t> datagram) const {
  if (::send(socket_.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL) < 0) {
    return errno;
  }
  return 0;
}

ConnectedDatagramSocket::ReceiveResult ConnectedDatagramSocket::receiveWaiting(const DatagramSink& sink) {
  std::array<iovec, batchSize> vectors{};
  std::array<mmsghdr, batchSize> headers{};
  for (std::size_t slot = 0; slot < batchSize; ++slot) {
    vectors[slot].iov_base = slots_.data() + slot * slotSize;
    vectors[slot].iov_len = slotSize;
    headers[slot].msg_hdr.msg_iov = &vectors[slot];
    headers[slot].msg_hdr.msg_iovlen = 1;
  }
  const int received = ::recvmmsg(socket_.get(), headers.data(), batchSize, MSG_DONTWAIT, nullptr);
  if (received < 0) {
    const int error = errno;
    return ReceiveResult{0, (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) ? 0 : error};
  }
  for (int index = 0; index < received; ++index) {
    const auto slot = static_cast<std::size_t>(index);
    // A truncated datagram was longer than any valid one; what is left of it is still refused.
    const std::size_t length = std::min<std::size_t>(headers[slot].msg_len, slotSize);
    sink(std::span<const std::uint8_t>(slots_.data() + slot * slotSize, length));
  }
  return ReceiveResult{static_cast<std::size_t>(received), 0};
}

}  // namespace velmora
