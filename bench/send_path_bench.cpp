// The video send path over loopback: one 150 KB frame per iteration through VideoStreamServer::send,
// with segmentation offload, with sendmmsg and with one sendto per datagram, to a receiver thread
// that drains its socket.

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame_fragmenter.h"
#include "video/video_stream_server.h"

namespace velmora {
namespace {

constexpr std::size_t kFrameSize = 150 * 1024;

// A client socket on 127.0.0.1 whose thread reads every datagram that arrives, in batches.
class DrainingReceiver {
 public:
  DrainingReceiver() {
    descriptor_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int bufferSize = 8 * 1024 * 1024;
    ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof(bufferSize));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(local);
    if (::bind(descriptor_, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0 ||
        ::getsockname(descriptor_, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      throw std::runtime_error(std::string("receiver: ") + std::strerror(errno));
    }
    port_ = ntohs(local.sin_port);
    thread_ = std::thread([this] { drain(); });
  }
  ~DrainingReceiver() {
    stopping_ = true;
    thread_.join();
    ::close(descriptor_);
  }
  DrainingReceiver(const DrainingReceiver&) = delete;
  DrainingReceiver& operator=(const DrainingReceiver&) = delete;

  void hello(std::uint16_t serverPort) const {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(serverPort);
    const char hello[] = "hello";
    ::sendto(descriptor_, hello, sizeof(hello), 0, reinterpret_cast<const sockaddr*>(&server), sizeof(server));
  }

  std::uint64_t received() const { return received_.load(); }

 private:
  void drain() {
    constexpr std::size_t kBatch = 64;
    std::vector<std::array<std::uint8_t, 1500>> buffers(kBatch);
    std::array<iovec, kBatch> pieces{};
    std::array<mmsghdr, kBatch> messages{};
    while (!stopping_) {
      pollfd readable{descriptor_, POLLIN, 0};
      if (::poll(&readable, 1, 50) <= 0) {
        continue;
      }
      for (std::size_t index = 0; index < kBatch; ++index) {
        pieces[index] = iovec{buffers[index].data(), buffers[index].size()};
        messages[index] = mmsghdr{};
        messages[index].msg_hdr.msg_iov = &pieces[index];
        messages[index].msg_hdr.msg_iovlen = 1;
      }
      const int count = ::recvmmsg(descriptor_, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
      if (count > 0) {
        received_ += static_cast<std::uint64_t>(count);
      }
    }
  }

  int descriptor_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> received_{0};
  std::thread thread_;
};

// A keyframe's shape: three small parameter sets, then the picture.
std::vector<std::vector<std::uint8_t>> nalUnitsOf150KB() {
  std::vector<std::vector<std::uint8_t>> units = {std::vector<std::uint8_t>(24), std::vector<std::uint8_t>(48),
                                                  std::vector<std::uint8_t>(12)};
  units.emplace_back(kFrameSize - 84);
  for (auto& unit : units) {
    std::iota(unit.begin(), unit.end(), std::uint8_t{0});
  }
  return units;
}

void send150KBFrame(benchmark::State& state) {
  const auto mode = static_cast<UdpSendMode>(state.range(0));
  state.SetLabel(std::string(describe(mode)));

  VideoStreamServer::Options options;
  options.port = 0;
  options.sendMode = mode;
  std::mutex readyLock;
  std::condition_variable readyChanged;
  bool ready = false;
  auto server = VideoStreamServer::create(options, {[&] {
                                            {
                                              std::lock_guard lock(readyLock);
                                              ready = true;
                                            }
                                            readyChanged.notify_all();
                                          }});
  server->start();
  server->setAllowedClientHost("127.0.0.1");
  DrainingReceiver receiver;
  receiver.hello(*server->listeningPort());
  {
    std::unique_lock lock(readyLock);
    if (!readyChanged.wait_for(lock, std::chrono::seconds(10), [&] { return ready; })) {
      state.SkipWithError("the client flow was not admitted");
      return;
    }
  }

  const auto units = nalUnitsOf150KB();
  const std::uint64_t datagramsPerFrame = *FrameFragmenter::fragmentCount(kFrameSize);
  std::uint32_t frameID = 0;
  for (auto _ : state) {
    server->send(units, VideoFrameMetadata{frameID++, 0, false, static_cast<std::uint32_t>(kFrameSize), 0});
  }

  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * datagramsPerFrame));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFrameSize));
  state.counters["datagrams/frame"] = static_cast<double>(datagramsPerFrame);
  state.counters["delivered"] = static_cast<double>(receiver.received()) /
                                static_cast<double>(std::max<std::uint64_t>(1, state.iterations() * datagramsPerFrame));
  server->stopCompletely();
}
BENCHMARK(send150KBFrame)
    ->Arg(static_cast<int>(UdpSendMode::segmentationOffload))
    ->Arg(static_cast<int>(UdpSendMode::batched))
    ->Arg(static_cast<int>(UdpSendMode::perDatagram))
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
}  // namespace velmora

BENCHMARK_MAIN();
