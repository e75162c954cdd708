#include "client/video_receiver.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "client/receiver_logger.h"

namespace velmora {
namespace {

// Batches read before the loop looks at a stop request again.
constexpr int kBatchesPerWakeUp = 16;


}  // namespace

Result<std::unique_ptr<VideoReceiver>> VideoReceiver::start(VideoReceiverOptions options) {
  if (options.host.empty() || options.videoPort == 0) {
    return Result<std::unique_ptr<VideoReceiver>>::failure("no video host address or port");
  }
  if (options.helloInterval <= std::chrono::milliseconds::zero()) {
    return Result<std::unique_ptr<VideoReceiver>>::failure("the hello interval must be positive");
  }
  auto socket = ConnectedDatagramSocket::connect(options.host, options.videoPort, receiveBufferBytes);
  if (!socket) {
    return Result<std::unique_ptr<VideoReceiver>>::failure(socket.error());
  }
  WakeEvent wakeEvent;
  if (!wakeEvent.isOpen()) {
    return Result<std::unique_ptr<VideoReceiver>>::failure(
        std::string("cannot create the receiver's wake-up event: ") + std::strerror(errno));
  }
  return std::make_unique<VideoReceiver>(Token{}, std::move(options), std::move(socket.value()), std::move(wakeEvent));
}

VideoReceiver::VideoReceiver(Token, VideoReceiverOptions options, std::unique_ptr<ConnectedDatagramSocket> socket,
                             WakeEvent wakeEvent)
    : host_(options.host),
      videoPort_(options.videoPort),
      helloInterval_(options.helloInterval),
      socket_(std::move(socket)),
      wakeEvent_(std::move(wakeEvent)),
      localPort_(socket_->localPort()),
      processor_(options.maxDisplays,
                 DisplayStreamSettings{options.decoderLimits, std::move(options.saveStreamDirectory),
                                       std::move(options.onPicture), std::move(options.onKeyframeNeeded)},
                 statistics_) {
  receiverLogger().info("Receiving video from {} port {} on local port {}", log::privateValue(host_), videoPort_,
                        localPort_.load());
  thread_ = std::thread([this] { run(); });
}

VideoReceiver::~VideoReceiver() { stop(); }

void VideoReceiver::stop() {
  if (std::this_thread::get_id() == thread_.get_id()) {
    // From a callback: the thread cannot wait for itself; it ends after the current batch.
    stopRequested_ = true;
    return;
  }
  std::call_once(joined_, [this] {
    stopRequested_ = true;
    wakeReceiveThread();
    thread_.join();
    receiverLogger().info("Video receiver stopped");
  });
}

Result<std::uint16_t> VideoReceiver::changeLocalPort() {
  if (std::this_thread::get_id() == thread_.get_id()) {
    return Result<std::uint16_t>::failure("the receive thread cannot wait for itself to change its port");
  }
  // Opened while the old socket is still open, so the kernel picks another port.
  auto socket = ConnectedDatagramSocket::connect(host_, videoPort_, receiveBufferBytes);
  if (!socket) {
    return Result<std::uint16_t>::failure(socket.error());
  }
  const std::uint16_t port = socket.value()->localPort();
  {
    std::lock_guard lock(nextSocketLock_);
    if (!receiveThreadRunning_) {
      return Result<std::uint16_t>::failure("the video receiver has stopped");
    }
    nextSocket_ = std::move(socket.value());
  }
  wakeReceiveThread();
  std::unique_ptr<ConnectedDatagramSocket> untaken;
  {
    std::unique_lock lock(nextSocketLock_);
    nextSocketTaken_.wait(lock, [this] { return !nextSocket_ || !receiveThreadRunning_; });
    untaken = std::move(nextSocket_);
  }
  if (untaken) {
    return Result<std::uint16_t>::failure("the video receiver has stopped");
  }
  return port;
}

void VideoReceiver::wakeReceiveThread() { wakeEvent_.signal(); }

void VideoReceiver::run() {
  receiveUntilStopped();
  {
    std::lock_guard lock(nextSocketLock_);
    receiveThreadRunning_ = false;
  }
  nextSocketTaken_.notify_all();
}

void VideoReceiver::receiveUntilStopped() {
  auto nextHello = Clock::now();
  while (!stopRequested_) {
    int timeoutMilliseconds = -1;
    if (!videoFlowing_) {
      const auto now = Clock::now();
      if (now >= nextHello) {
        sendHello();
        nextHello = now + helloInterval_;
      }
      timeoutMilliseconds = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(nextHello - now).count());
    }
    pollfd watched[2] = {{socket_->descriptor(), POLLIN, 0}, {wakeEvent_.descriptor(), POLLIN, 0}};
    if (::poll(watched, 2, timeoutMilliseconds) < 0) {
      if (errno == EINTR) {
        continue;
      }
      receiverLogger().error("Video receiver stops: waiting for datagrams failed: {}", std::strerror(errno));
      return;
    }
    if (watched[1].revents != 0) {
      wakeEvent_.drain();
      moveToNextSocket(nextHello);
      continue;  // a stop request ends the loop; the old socket's readiness means nothing now
    }
    if (watched[0].revents != 0) {
      receiveWaitingDatagrams();
    }
  }
}

void VideoReceiver::moveToNextSocket(Clock::time_point& nextHello) {
  if (stopRequested_) {
    return;  // the caller hears that the receiver stopped
  }
  std::unique_ptr<ConnectedDatagramSocket> next;
  {
    std::lock_guard lock(nextSocketLock_);
    next = std::move(nextSocket_);
  }
  if (!next) {
    return;
  }
  // What already arrived on the old port is still good video; frames still on their way there
  // are lost, and the decoders wait for a keyframe as after any loss.
  receiveWaitingDatagrams();
  const std::uint16_t previousPort = localPort_.exchange(next->localPort());
  socket_ = std::move(next);
  videoFlowing_ = false;
  nextHello = Clock::now();
  statistics_.recordPortChange(nextHello);
  receiverLogger().info("Video reception moved from local port {} to {}; saying hello from there", previousPort,
                        localPort_.load());
  nextSocketTaken_.notify_all();
}

void VideoReceiver::sendHello() {
  if (const int error = socket_->send(helloBytes); error != 0) {
    if (velmora::log::isLoggedOccurrence(++sendErrors_)) {
      receiverLogger().error("Sending the video hello failed: {}", std::strerror(error));
    }
    return;
  }
  ++transport_.hellosSent;
  receiverLogger().debug("Video hello #{} sent", transport_.hellosSent);
  publishTransportCounters();
}

void VideoReceiver::receiveWaitingDatagrams() {
  for (int batch = 0; batch < kBatchesPerWakeUp && !stopRequested_; ++batch) {
    const auto result = socket_->receiveWaiting([this](std::span<const std::uint8_t> datagram) {
      ++transport_.datagramsReceived;
      if (processor_.handle(datagram) && !videoFlowing_) {
        videoFlowing_ = true;
        receiverLogger().info("Video is flowing to local port {} ({} hello(s) sent in all)", localPort_.load(),
                              transport_.hellosSent);
      }
    });
    if (result.error != 0) {
      // Mostly an ICMP "port unreachable" for the hello: the host is not listening (yet, or any more).
      if (velmora::log::isLoggedOccurrence(++transport_.receiveErrors)) {
        receiverLogger().notice("Receiving video failed: {}", std::strerror(result.error));
      }
    } else if (result.datagrams < ConnectedDatagramSocket::batchSize) {
      break;
    }
  }
  publishTransportCounters();
}

void VideoReceiver::publishTransportCounters() {
  transport_.reassembler = processor_.reassemblerStatistics();
  transport_.framesOfIgnoredDisplays = processor_.framesOfIgnoredDisplays();
  statistics_.recordTransport(transport_);
}

}  // namespace velmora
