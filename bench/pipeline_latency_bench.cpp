// Pipeline latency on virtual displays: from a frame's capture time stamp to the moment the last
// datagram of that frame has been handed to the kernel, beside the encode time alone (submission
// to the encoder until its NAL units come out) of the same frames, in the same run.
//
//   pipeline_latency_bench [--seconds S] [--size WxH] [--fps F] [--bitrate BPS]
//
// Runs the virtual capture backend, VideoEncoderService on x265 and VideoStreamServer sending to a
// loopback UDP peer that drains its socket. Prints median and 99th percentile in milliseconds,
// keyframes apart (x265 takes several times longer for them).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "displays/mac_display_catalog.h"
#include "platform/dispatch/manual_main_queue.h"
#include "platform/virtual/virtual_capture_backend.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/x265/x265_encoder_backend.h"
#include "video/screen_capture_service.h"
#include "video/video_encoder_service.h"
#include "video/video_stream_server.h"

namespace velmora {
namespace {

double nowMicroseconds() {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Samples {
  std::vector<double> pipeline;  // milliseconds, capture stamp -> last datagram handed to the kernel
  std::vector<double> encode;    // milliseconds, submission -> NAL units out
};

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) {
    return 0;
  }
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[index];
}

void report(const char* kind, const Samples& samples) {
  std::printf("%-10s frames=%-5zu pipeline median=%.2f ms p99=%.2f ms   encode median=%.2f ms p99=%.2f ms   "
              "difference of medians=%.2f ms\n",
              kind, samples.pipeline.size(), percentile(samples.pipeline, 0.5), percentile(samples.pipeline, 0.99),
              percentile(samples.encode, 0.5), percentile(samples.encode, 0.99),
              percentile(samples.pipeline, 0.5) - percentile(samples.encode, 0.5));
}

// A video client that says hello and then drains its socket, so the host's sends never back up.
class DrainingPeer {
 public:
  explicit DrainingPeer(std::uint16_t hostPort) {
    descriptor_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in host{};
    host.sin_family = AF_INET;
    host.sin_port = htons(hostPort);
    ::inet_pton(AF_INET, "127.0.0.1", &host.sin_addr);
    ::connect(descriptor_, reinterpret_cast<sockaddr*>(&host), sizeof host);
    const int receiveBufferSize = 8 * 1024 * 1024;
    ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof receiveBufferSize);
    const timeval timeout{0, 100000};
    ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::send(descriptor_, "hello", 5, 0);
    drainer_ = std::thread([this] {
      std::vector<char> buffer(2048);
      while (running_) {
        if (::recv(descriptor_, buffer.data(), buffer.size(), 0) > 0) {
          ++datagrams_;
        }
      }
    });
  }
  ~DrainingPeer() {
    running_ = false;
    drainer_.join();
    ::close(descriptor_);
  }
  std::uint64_t datagrams() const { return datagrams_; }

 private:
  int descriptor_ = -1;
  std::atomic<bool> running_{true};
  std::atomic<std::uint64_t> datagrams_{0};
  std::thread drainer_;
};

int run(int seconds, int width, int height, int fps, std::int64_t bitRate) {
  ManualMainQueue mainQueue;
  auto displays = std::make_shared<VirtualDisplaySource>(
      VirtualDisplayLayout{{static_cast<double>(width), static_cast<double>(height), 1}});
  auto capture = ScreenCaptureService::create({mainQueue, std::make_shared<VirtualCaptureBackend>(displays),
                                               MacDisplayCatalog::currentSnapshots(*displays), {}});
  capture->setTargetDisplayID(1u);
  capture->setConfiguration(CaptureConfiguration{width, height, fps, kPixelFormat420v});

  std::mutex samplesLock;
  std::map<std::uint64_t, double> submittedAt;  // by presentation time in microseconds
  Samples keyframes;
  Samples deltaFrames;
  std::atomic<bool> ready{false};

  VideoStreamServer::Options options;
  options.port = 0;
  auto server = VideoStreamServer::create(options, {[&] { ready = true; }});
  server->start();
  server->setAllowedClientHost("127.0.0.1");

  // Declared after everything its output touches, so that it is destroyed first: its destructor
  // waits for an output still being delivered.
  VideoEncoderService encoder(0, makeX265EncoderBackendFactory());
  encoder.configure(width, height, bitRate, fps);

  capture->setOnSampleBuffer([&](const SampleBuffer& frame) {
    {
      std::lock_guard lock(samplesLock);
      submittedAt[static_cast<std::uint64_t>(frame.presentationTime * 1e6)] = nowMicroseconds();
    }
    encoder.encode(frame);
  });
  encoder.onEncodedNALUnits = [&](std::vector<std::vector<std::uint8_t>> units, const VideoFrameMetadata& metadata) {
    const double encoded = nowMicroseconds();
    server->send(units, metadata);
    const double sent = nowMicroseconds();
    if (!ready) {
      return;
    }
    std::lock_guard lock(samplesLock);
    auto submitted = submittedAt.find(metadata.presentationTimestamp);
    if (submitted == submittedAt.end()) {
      return;
    }
    Samples& samples = metadata.isKeyframe ? keyframes : deltaFrames;
    samples.pipeline.push_back((sent - static_cast<double>(metadata.presentationTimestamp)) / 1000.0);
    samples.encode.push_back((encoded - submitted->second) / 1000.0);
    submittedAt.erase(submittedAt.begin(), std::next(submitted));
  };

  capture->start();
  DrainingPeer peer(*server->listeningPort());
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  // A keyframe every second, so that keyframes have a sample of their own.
  auto nextKeyframe = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  mainQueue.runUntil(
      [&] {
        if (std::chrono::steady_clock::now() >= nextKeyframe) {
          encoder.requestKeyframe();
          nextKeyframe += std::chrono::seconds(1);
        }
        return std::chrono::steady_clock::now() >= end;
      },
      std::chrono::seconds(seconds + 5));

  if (auto stopped = capture->stop()) {
    stopped->wait();
  }
  server->stopCompletely();
  const auto statistics = encoder.sessionStatistics();

  std::lock_guard lock(samplesLock);
  std::printf("pipeline latency, %dx%d @ %d fps, %.1f Mbit/s, %d s, %llu datagrams received\n", width, height, fps,
              static_cast<double>(bitRate) / 1e6, seconds, static_cast<unsigned long long>(peer.datagrams()));
  report("delta", deltaFrames);
  report("keyframes", keyframes);
  if (statistics) {
    std::printf("encoder: submitted=%llu encoded=%llu replaced while busy=%llu\n",
                static_cast<unsigned long long>(statistics->submittedFrames),
                static_cast<unsigned long long>(statistics->encodedFrames),
                static_cast<unsigned long long>(statistics->replacedFrames));
  }
  return 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  int seconds = 10;
  int width = 1920;
  int height = 1080;
  int fps = 60;
  long long bitRate = 20'000'000;
  for (int index = 1; index + 1 < argc; index += 2) {
    const std::string option = argv[index];
    const std::string value = argv[index + 1];
    if (option == "--seconds") {
      seconds = std::stoi(value);
    } else if (option == "--size") {
      std::sscanf(value.c_str(), "%dx%d", &width, &height);
    } else if (option == "--fps") {
      fps = std::stoi(value);
    } else if (option == "--bitrate") {
      bitRate = std::stoll(value);
    } else {
      std::fprintf(stderr, "usage: pipeline_latency_bench [--seconds S] [--size WxH] [--fps F] [--bitrate BPS]\n");
      return 2;
    }
  }
  return velmora::run(seconds, width, height, fps, bitRate);
}
