#include "platform/net/datagram_sender.h"

#include "platform/log/log.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace velmora {
namespace {

const log::Logger& logger() {
  static const log::Logger instance("VideoStream");
  return instance;
}

NetworkError errorFrom(int error) { return NetworkError{std::system_category().message(error)}; }

// What a kernel without segmentation offload, or a route that cannot do it (no checksum offload,
// an IPsec transform, a path MTU below one segment), answers to UDP_SEGMENT.
bool refusesSegmentation(int error) {
  return error == EIO || error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP;
}

std::size_t segmentsPerMessage(std::size_t datagramSize) {
  return std::clamp<std::size_t>(DatagramSender::kMaximumSegmentedBytes / datagramSize, 1,
                                 DatagramSender::kMaximumSegmentsPerMessage);
}

// The UDP_SEGMENT control message; every message of a call may point at the same one.
class SegmentSizeControl {
 public:
  explicit SegmentSizeControl(std::size_t segmentSize) {
    auto* header = reinterpret_cast<cmsghdr*>(buffer_.data());
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto size = static_cast<std::uint16_t>(segmentSize);
    std::memcpy(CMSG_DATA(header), &size, sizeof(size));
  }

  void* data() { return buffer_.data(); }
  std::size_t size() const { return buffer_.size(); }

 private:
  alignas(cmsghdr) std::array<unsigned char, CMSG_SPACE(sizeof(std::uint16_t))> buffer_{};
};

}  // namespace

DatagramSender::DatagramSender(int descriptor, UdpSendMode mode) : descriptor_(descriptor), mode_(mode) {}

DatagramSender::~DatagramSender() { ::close(descriptor_); }

std::optional<NetworkError> DatagramSender::send(const sockaddr* destination, socklen_t destinationLength,
                                                 std::span<const std::uint8_t> train, std::size_t datagramSize) {
  if (datagramSize == 0 || datagramSize > kMaximumSegmentedBytes) {
    return errorFrom(EMSGSIZE);
  }
  const Destination to{destination, destinationLength};
  std::size_t offset = 0;
  while (offset < train.size()) {
    const UdpSendMode mode = this->mode();
    const std::span<const std::uint8_t> rest = train.subspan(offset);
    long sent = mode == UdpSendMode::perDatagram ? sendOne(to, rest, datagramSize) : sendBatch(mode, to, rest, datagramSize);
    if (sent < 0) {
      const int error = errno;
      if (error == EINTR) {
        continue;
      }
      if (error == EAGAIN || error == EWOULDBLOCK) {
        // The socket is non-blocking for the receive side; a full send buffer drains in moments.
        if (waitUntilWritable()) {
          continue;
        }
        return errorFrom(error);
      }
      if (mode != UdpSendMode::segmentationOffload || !refusesSegmentation(error)) {
        return errorFrom(error);
      }
      // Segmentation is to blame only if the same datagrams go out without it; a bad destination
      // fails both ways and must not turn offload off for every later flow.
      sent = sendBatch(UdpSendMode::batched, to, rest, datagramSize);
      if (sent < 0) {
        return errorFrom(errno);
      }
      fallBackFromSegmentationOffload(error);
    }
    offset += static_cast<std::size_t>(sent);
    datagrams_.fetch_add((static_cast<std::size_t>(sent) + datagramSize - 1) / datagramSize, std::memory_order_relaxed);
  }
  return std::nullopt;
}

long DatagramSender::sendBatch(UdpSendMode mode, Destination destination, std::span<const std::uint8_t> train,
                               std::size_t datagramSize) {
  const bool segmented = mode == UdpSendMode::segmentationOffload;
  const std::size_t messageSize = segmented ? datagramSize * segmentsPerMessage(datagramSize) : datagramSize;
  const std::size_t messageCount = std::min(kMaximumMessagesPerCall, (train.size() + messageSize - 1) / messageSize);

  // Reused per thread: several encoder threads send at once.
  thread_local std::vector<mmsghdr> messages;
  thread_local std::vector<iovec> pieces;
  messages.assign(messageCount, mmsghdr{});
  pieces.resize(messageCount);
  SegmentSizeControl control(datagramSize);

  for (std::size_t index = 0; index < messageCount; ++index) {
    const std::size_t offset = index * messageSize;
    const std::size_t length = std::min(messageSize, train.size() - offset);
    pieces[index] = iovec{const_cast<std::uint8_t*>(train.data() + offset), length};
    msghdr& message = messages[index].msg_hdr;
    message.msg_name = const_cast<sockaddr*>(destination.address);
    message.msg_namelen = destination.length;
    message.msg_iov = &pieces[index];
    message.msg_iovlen = 1;
    if (segmented && length > datagramSize) {
      message.msg_control = control.data();
      message.msg_controllen = control.size();
    }
  }

  systemCalls_.fetch_add(1, std::memory_order_relaxed);
  const int sent = ::sendmmsg(descriptor_, messages.data(), static_cast<unsigned int>(messageCount), 0);
  if (sent < 0) {
    return -1;
  }
  std::size_t bytes = 0;
  for (int index = 0; index < sent; ++index) {
    bytes += pieces[static_cast<std::size_t>(index)].iov_len;
  }
  return static_cast<long>(bytes);
}

long DatagramSender::sendOne(Destination destination, std::span<const std::uint8_t> train, std::size_t datagramSize) {
  systemCalls_.fetch_add(1, std::memory_order_relaxed);
  return ::sendto(descriptor_, train.data(), std::min(datagramSize, train.size()), 0, destination.address,
                  destination.length);
}

bool DatagramSender::waitUntilWritable() const {
  pollfd writable{descriptor_, POLLOUT, 0};
  return ::poll(&writable, 1, static_cast<int>(kWritableWait.count())) > 0;
}

void DatagramSender::fallBackFromSegmentationOffload(int error) {
  UdpSendMode expected = UdpSendMode::segmentationOffload;
  if (mode_.compare_exchange_strong(expected, UdpSendMode::batched)) {
    logger().notice("UDP segmentation offload unavailable ({}); sending datagrams with sendmmsg",
                    std::system_category().message(error));
  }
}

DatagramSender::Statistics DatagramSender::statistics() const {
  return Statistics{systemCalls_.load(std::memory_order_relaxed), datagrams_.load(std::memory_order_relaxed)};
}

}  // namespace velmora
