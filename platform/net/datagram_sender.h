#pragma once

#include "platform/net/udp_listener.h"
#include "platform/network.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace velmora {

// Hands trains of datagrams to the kernel with as few system calls as it allows. Thread-safe:
// every call works on the caller's stack and the socket, so encoder threads send at once.
class DatagramSender {
 public:
  // Longest the sender waits for room in a full socket buffer before it gives up on a train.
  static constexpr std::chrono::milliseconds kWritableWait{250};
  // One UDP datagram, and so one segmented message, carries at most this much over IPv4.
  static constexpr std::size_t kMaximumSegmentedBytes = 65507;
  // The kernel's cap on segments per message (UDP_MAX_SEGMENTS before Linux 6.x raised it).
  static constexpr std::size_t kMaximumSegmentsPerMessage = 64;
  // The kernel's cap on messages per sendmmsg (UIO_MAXIOV).
  static constexpr std::size_t kMaximumMessagesPerCall = 1024;

  struct Statistics {
    std::uint64_t systemCalls = 0;  // send calls that reached the kernel, failed ones included
    std::uint64_t datagrams = 0;    // datagrams the kernel accepted
  };

  // Takes ownership of `descriptor`, a UDP socket, and closes it when destroyed.
  DatagramSender(int descriptor, UdpSendMode mode);
  ~DatagramSender();
  DatagramSender(const DatagramSender&) = delete;
  DatagramSender& operator=(const DatagramSender&) = delete;

  // Sends datagrams of `datagramSize` bytes laid back to back in `train` (the last may be shorter)
  // to `destination`. Returns the first error; the rest of the train is not sent.
  std::optional<NetworkError> send(const sockaddr* destination, socklen_t destinationLength,
                                   std::span<const std::uint8_t> train, std::size_t datagramSize);

  UdpSendMode mode() const { return mode_.load(std::memory_order_relaxed); }
  Statistics statistics() const;

 private:
  struct Destination {
    const sockaddr* address;
    socklen_t length;
  };

  // Bytes of `train` the kernel took (whole datagrams), or -1 with errno set.
  long sendBatch(UdpSendMode mode, Destination destination, std::span<const std::uint8_t> train, std::size_t datagramSize);
  long sendOne(Destination destination, std::span<const std::uint8_t> train, std::size_t datagramSize);
  bool waitUntilWritable() const;
  void fallBackFromSegmentationOffload(int error);

  const int descriptor_;
  std::atomic<UdpSendMode> mode_;
  std::atomic<std::uint64_t> systemCalls_{0};
  std::atomic<std::uint64_t> datagrams_{0};
};

}  // namespace velmora
