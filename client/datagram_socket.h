#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/result.h"

namespace velmora {

// A non-blocking UDP socket connected to the host's video port, so that the kernel passes on only
// the host's datagrams and reports an unreachable port as an error on the next call.
class ConnectedDatagramSocket {
 public:
  static constexpr std::size_t batchSize = 32;
  // Larger than any valid video datagram (1416 bytes), so that an oversized one shows up as such.
  static constexpr std::size_t slotSize = 2048;

  using DatagramSink = std::function<void(std::span<const std::uint8_t> datagram)>;

  struct ReceiveResult {
    std::size_t datagrams = 0;
    int error = 0;  // errno of a failed receive; 0 when the queue was simply empty
  };

  // `host` is an address or a name (resolved here, blocking); IPv4 or IPv6 as the address is.
  static Result<std::unique_ptr<ConnectedDatagramSocket>> connect(const std::string& host, std::uint16_t port,
                                                                  int receiveBufferBytes);

  explicit ConnectedDatagramSocket(FileDescriptor socket);

  int descriptor() const { return socket_.get(); }
  std::uint16_t localPort() const;
  // errno, or 0 when the datagram was handed to the kernel.
  int send(std::span<const std::uint8_t> datagram) const;
  // Reads up to `batchSize` datagrams that are already waiting; each is valid only during its sink call.
  ReceiveResult receiveWaiting(const DatagramSink& sink);

 private:
  FileDescriptor socket_;
  std::vector<std::uint8_t> slots_;
};

}  // namespace velmora
