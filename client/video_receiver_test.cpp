#include "client/video_receiver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "client/hevc_test_stream.h"
#include "protocol/frame_packet_header.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::EncodedTestFrame;

// Generous: only a broken receiver ever waits this long.
constexpr auto kEventTimeout = 10s;
constexpr auto kShortHelloInterval = 100ms;

// The host's side of the video flow: a plain UDP socket on loopback that learns the client's
// address from its hello and sends datagrams back to it.
class LoopbackVideoHost {
 public:
  explicit LoopbackVideoHost(int family) : family_(family) {
    descriptor_ = FileDescriptor(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET6) {
      auto& ipv6 = reinterpret_cast<sockaddr_in6&>(address);
      ipv6.sin6_family = AF_INET6;
      ipv6.sin6_addr = in6addr_loopback;
      length = sizeof ipv6;
    } else {
      auto& ipv4 = reinterpret_cast<sockaddr_in&>(address);
      ipv4.sin_family = AF_INET;
      ipv4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      length = sizeof ipv4;
    }
    bound_ = descriptor_.isOpen() && ::bind(descriptor_.get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
    ::getsockname(descriptor_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                     : reinterpret_cast<sockaddr_in&>(address).sin_port);
  }

  bool isBound() const { return bound_; }
  std::uint16_t port() const { return port_; }
  std::string address() const { return family_ == AF_INET6 ? "::1" : "127.0.0.1"; }
  // Where the latest hello came from.
  std::uint16_t clientPort() const {
    return ntohs(family_ == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(client_).sin6_port
                                     : reinterpret_cast<const sockaddr_in&>(client_).sin_port);
  }

  // The next datagram from the client (its hello), or nothing after `timeout`.
  std::optional<std::string> receiveHello(std::chrono::milliseconds timeout = kEventTimeout) {
    const timeval limit{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(descriptor_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char bytes[2048];
    clientLength_ = sizeof client_;
    const auto received = ::recvfrom(descriptor_.get(), bytes, sizeof bytes, 0, reinterpret_cast<sockaddr*>(&client_),
                                     &clientLength_);
    if (received < 0) {
      return std::nullopt;
    }
    return std::string(bytes, static_cast<std::size_t>(received));
  }

  void send(std::span<const std::uint8_t> datagram) {
    ASSERT_EQ(::sendto(descriptor_.get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&client_),
                       clientLength_),
              static_cast<ssize_t>(datagram.size()));
  }

  void sendFrame(const EncodedTestFrame& frame, std::uint32_t frameID, std::uint16_t displayID = 0,
                 std::optional<std::size_t> omittedFragment = std::nullopt) {
    const auto datagrams = testing::datagramsOf(frame, frameID, displayID);
    for (std::size_t index = 0; index < datagrams.size(); ++index) {
      if (index != omittedFragment) {
        send(datagrams[index]);
      }
    }
  }

 private:
  int family_;
  FileDescriptor descriptor_;
  bool bound_ = false;
  std::uint16_t port_ = 0;
  sockaddr_storage client_{};
  socklen_t clientLength_ = 0;
};

struct SeenPicture {
  std::uint16_t displayID;
  std::uint32_t frameID;
  bool isKeyframe;
  int width;
  int height;
  std::optional<FrameStamp> stamp;
  std::optional<double> latencyMilliseconds;
};

// Collects what the receive thread reports, for the test thread to wait on.
class ReceiverEvents {
 public:
  PictureHandler pictureHandler() {
    return [this](const ReceivedPicture& picture) {
      std::lock_guard lock(eventsLock_);
      pictures_.push_back({picture.displayID, picture.frameID, picture.isKeyframe, picture.width, picture.height,
                           picture.stamp, picture.latencyMilliseconds});
      changed_.notify_all();
    };
  }
  KeyframeNeededHandler keyframeNeededHandler() {
    return [this](std::uint16_t displayID) {
      std::lock_guard lock(eventsLock_);
      keyframeRequests_.push_back(displayID);
      changed_.notify_all();
    };
  }

  bool waitForPicture(std::uint32_t frameID) {
    std::unique_lock lock(eventsLock_);
    return changed_.wait_for(lock, kEventTimeout, [&] {
      return std::any_of(pictures_.begin(), pictures_.end(), [&](const SeenPicture& seen) { return seen.frameID == frameID; });
    });
  }
  std::vector<SeenPicture> pictures() const {
    std::lock_guard lock(eventsLock_);
    return pictures_;
  }
  std::vector<std::uint16_t> keyframeRequests() const {
    std::lock_guard lock(eventsLock_);
    return keyframeRequests_;
  }

 private:
  mutable std::mutex eventsLock_;
  std::condition_variable changed_;
  std::vector<SeenPicture> pictures_;
  std::vector<std::uint16_t> keyframeRequests_;
};

std::vector<std::uint32_t> frameIDsOf(const std::vector<SeenPicture>& pictures) {
  std::vector<std::uint32_t> ids;
  for (const SeenPicture& picture : pictures) {
    ids.push_back(picture.frameID);
  }
  return ids;
}

template <class Condition>
bool waitUntil(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kEventTimeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

class VideoReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto encoded = testing::encodeTestStream({.width = 320, .height = 192, .frameCount = 12, .keyframeInterval = 6});
    if (!encoded) {
      GTEST_SKIP() << "libavcodec was built without libx265";
    }
    frames_ = std::move(*encoded);
    ASSERT_EQ(frames_.size(), 12u);
    for (std::size_t index = 0; index < frames_.size(); ++index) {
      ASSERT_EQ(frames_[index].isKeyframe, index % 6 == 0);
      ASSERT_GE(testing::datagramsOf(frames_[index], 0).size(), 2u) << "noise keeps every frame several datagrams long";
    }
  }

  std::unique_ptr<VideoReceiver> startReceiver(const LoopbackVideoHost& host, VideoReceiverOptions options = {}) {
    return startReceiver(host, events_, std::move(options));
  }
  static std::unique_ptr<VideoReceiver> startReceiver(const LoopbackVideoHost& host, ReceiverEvents& events,
                                                      VideoReceiverOptions options = {}) {
    options.host = host.address();
    options.videoPort = host.port();
    options.onPicture = events.pictureHandler();
    options.onKeyframeNeeded = events.keyframeNeededHandler();
    auto receiver = VideoReceiver::start(std::move(options));
    EXPECT_TRUE(receiver) << receiver.error();
    return receiver ? std::move(receiver.value()) : nullptr;
  }

  std::vector<EncodedTestFrame> frames_;
  ReceiverEvents events_;
};

TEST_F(VideoReceiverTest, DecodesEveryFrameOverIPv4AndIPv6) {
  struct Case {
    int family;
    std::uint32_t firstFrameID;
  };
  // The IPv6 run also lets the frame numbers wrap in the middle of the stream.
  for (const auto [family, firstFrameID] : {Case{AF_INET, 0}, Case{AF_INET6, 0xFFFFFFFBu}}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    LoopbackVideoHost host(family);
    if (!host.isBound()) {
      ASSERT_NE(family, AF_INET);
      continue;  // no IPv6 loopback here
    }
    ReceiverEvents events;
    auto receiver = startReceiver(host, events);
    ASSERT_TRUE(receiver);
    ASSERT_EQ(host.receiveHello(), "hello");

    for (std::uint32_t index = 0; index < frames_.size(); ++index) {
      host.sendFrame(frames_[index], firstFrameID + index);
    }
    ASSERT_TRUE(events.waitForPicture(firstFrameID + 11));
    receiver->stop();

    const auto pictures = events.pictures();
    ASSERT_EQ(pictures.size(), 12u);
    for (std::uint32_t index = 0; index < pictures.size(); ++index) {
      EXPECT_EQ(pictures[index].frameID, firstFrameID + index);
      EXPECT_EQ(pictures[index].isKeyframe, index % 6 == 0);
      EXPECT_EQ(pictures[index].displayID, 0);
      EXPECT_EQ(pictures[index].width, 320);
      EXPECT_EQ(pictures[index].height, 192);
    }
    const VideoReceiverStatistics statistics = receiver->statistics();
    ASSERT_EQ(statistics.displays.size(), 1u);
    const DisplayReceiveStatistics& display = statistics.displays[0];
    EXPECT_EQ(display.framesCompleted, 12u);
    EXPECT_EQ(display.keyframes, 2u);
    EXPECT_EQ(display.picturesDecoded, 12u);
    EXPECT_EQ(display.decodeErrors, 0u);
    EXPECT_EQ(display.incompleteFramesDropped, 0u);
    EXPECT_EQ(display.framesSkippedAwaitingKeyframe, 0u);
    EXPECT_EQ(display.width, 320);
    EXPECT_EQ(display.height, 192);
    EXPECT_EQ(statistics.reassembler.invalidDatagrams, 0u);
    EXPECT_TRUE(events.keyframeRequests().empty());
  }
}

TEST_F(VideoReceiverTest, LostFragmentDropsTheFrameAndDecodingResumesAtTheNextKeyframe) {
  LoopbackVideoHost host(AF_INET);
  auto receiver = startReceiver(host);
  ASSERT_TRUE(receiver);
  ASSERT_TRUE(host.receiveHello());

  for (std::uint32_t frameID = 0; frameID < frames_.size(); ++frameID) {
    host.sendFrame(frames_[frameID], frameID, 0, frameID == 2 ? std::optional<std::size_t>(1) : std::nullopt);
  }
  ASSERT_TRUE(events_.waitForPicture(11));
  receiver->stop();

  EXPECT_EQ(frameIDsOf(events_.pictures()), (std::vector<std::uint32_t>{0, 1, 6, 7, 8, 9, 10, 11}));
  const DisplayReceiveStatistics display = receiver->statistics().displays.at(0);
  EXPECT_EQ(display.framesCompleted, 11u);
  EXPECT_EQ(display.incompleteFramesDropped, 1u);
  EXPECT_EQ(display.framesSkippedAwaitingKeyframe, 3u) << "frames 3 to 5 refer to the lost frame 2";
  EXPECT_EQ(display.picturesDecoded, 8u);
  EXPECT_EQ(display.decodeErrors, 0u);
  EXPECT_EQ(events_.keyframeRequests(), std::vector<std::uint16_t>{0}) << "one request a second at most";
}

TEST_F(VideoReceiverTest, StreamJoinedMidwayStartsAtTheFirstKeyframeAndIsSavedFromThere) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() /
      ("velmora-client-test-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  LoopbackVideoHost host(AF_INET);
  VideoReceiverOptions options;
  options.saveStreamDirectory = directory;
  auto receiver = startReceiver(host, std::move(options));
  ASSERT_TRUE(receiver);
  ASSERT_TRUE(host.receiveHello());

  for (std::uint32_t frameID = 3; frameID < frames_.size(); ++frameID) {
    host.sendFrame(frames_[frameID], frameID);
  }
  ASSERT_TRUE(events_.waitForPicture(11));
  receiver->stop();

  EXPECT_EQ(frameIDsOf(events_.pictures()), (std::vector<std::uint32_t>{6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(receiver->statistics().displays.at(0).framesSkippedAwaitingKeyframe, 3u);
  std::vector<std::uint8_t> expected;
  for (std::size_t index = 6; index < frames_.size(); ++index) {
    expected.insert(expected.end(), frames_[index].bytes.begin(), frames_[index].bytes.end());
  }
  std::ifstream saved(directory / "display-0.hevc", std::ios::binary);
  const std::vector<std::uint8_t> savedBytes{std::istreambuf_iterator<char>(saved), std::istreambuf_iterator<char>()};
  EXPECT_EQ(savedBytes, expected);
  std::filesystem::remove_all(directory);
}

TEST_F(VideoReceiverTest, HostileDatagramsAreCountedAndLeaveTheStreamIntact) {
  LoopbackVideoHost host(AF_INET);
  VideoReceiverOptions options;
  options.maxDisplays = 2;
  auto receiver = startReceiver(host, std::move(options));
  ASSERT_TRUE(receiver);
  ASSERT_TRUE(host.receiveHello());

  auto header = [](FramePacketHeader fields) {
    const auto bytes = fields.serialize();
    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
  };
  auto withPayload = [](std::vector<std::uint8_t> datagram, std::size_t size) {
    datagram.resize(datagram.size() + size, 0xA5);
    return datagram;
  };
  std::vector<std::uint8_t> noise(1416);
  testing::drawNoise(noise.data(), 1416, 1416, 1, 3);
  const std::vector<std::vector<std::uint8_t>> invalid{
      {},                                                                     // empty datagram
      {1, 2, 3},                                                              // shorter than a header
      std::vector<std::uint8_t>(16, 0),                                       // fragment count 0
      withPayload(header({7, 0, 65535, 0xFFFFFFFF, true, 0}), 1400),          // size beyond its fragments
      withPayload(header({8, 3, 2, 2000, false, 0}), 600),                    // index past the count
      withPayload(header({9, 0, 1, 100, false, 0}), 99),                      // payload shorter than declared
      withPayload(header({10, 0, 1, 1500, false, 0}), 1500),                  // fragment over 1400 bytes
      withPayload(header({11, 0, 3, 4000, true, 0}), 3000),                   // larger than any datagram
      noise,
  };
  host.sendFrame(frames_[0], 0);
  for (const auto& datagram : invalid) {
    host.send(datagram);
  }
  // Well-formed frames of junk: display 1 gets a "keyframe" that is not HEVC, displays 5 and 6
  // are beyond the receiver's limit of two.
  host.send(withPayload(header({0, 0, 1, 1000, true, 1}), 1000));
  host.send(withPayload(header({0, 0, 1, 10, true, 5}), 10));
  host.send(withPayload(header({0, 0, 1, 10, true, 6}), 10));
  for (std::uint32_t frameID = 1; frameID < frames_.size(); ++frameID) {
    host.sendFrame(frames_[frameID], frameID);
  }
  ASSERT_TRUE(events_.waitForPicture(11));
  receiver->stop();

  const VideoReceiverStatistics statistics = receiver->statistics();
  EXPECT_EQ(statistics.reassembler.invalidDatagrams, invalid.size());
  EXPECT_EQ(statistics.framesOfIgnoredDisplays, 2u);
  ASSERT_EQ(statistics.displays.size(), 2u);
  EXPECT_EQ(statistics.displays[0].picturesDecoded, 12u);
  EXPECT_EQ(statistics.displays[0].decodeErrors, 0u);
  EXPECT_EQ(statistics.displays[1].displayID, 1);
  EXPECT_EQ(statistics.displays[1].picturesDecoded, 0u);
  EXPECT_EQ(statistics.displays[1].decodeErrors, 1u);
}

TEST_F(VideoReceiverTest, HelloIsRepeatedUntilVideoArrives) {
  LoopbackVideoHost host(AF_INET);
  VideoReceiverOptions options;
  options.helloInterval = kShortHelloInterval;
  auto receiver = startReceiver(host, std::move(options));
  ASSERT_TRUE(receiver);

  ASSERT_EQ(host.receiveHello(), "hello");  // lost, as far as the host knows
  host.send(std::vector<std::uint8_t>{1, 2, 3});  // garbage is not video: the hellos go on
  ASSERT_EQ(host.receiveHello(), "hello");
  ASSERT_EQ(host.receiveHello(), "hello");
  for (std::uint32_t frameID = 0; frameID < frames_.size(); ++frameID) {
    host.sendFrame(frames_[frameID], frameID);
  }
  ASSERT_TRUE(events_.waitForPicture(11));

  const std::uint64_t hellosSent = receiver->statistics().hellosSent;
  EXPECT_GE(hellosSent, 3u);
  // Drain the hellos sent before the video arrived, then expect silence for ten intervals.
  for (std::uint64_t seen = 3; seen < hellosSent; ++seen) {
    ASSERT_TRUE(host.receiveHello());
  }
  EXPECT_FALSE(host.receiveHello(10 * kShortHelloInterval));
  EXPECT_EQ(receiver->statistics().hellosSent, hellosSent);
}

TEST_F(VideoReceiverTest, StopsPromptlyWhenTheHostIsGone) {
  std::uint16_t closedPort = 0;
  {
    LoopbackVideoHost vanished(AF_INET);
    closedPort = vanished.port();
  }
  VideoReceiverOptions options;
  options.host = "127.0.0.1";
  options.videoPort = closedPort;
  options.helloInterval = kShortHelloInterval;
  auto receiver = VideoReceiver::start(std::move(options));
  ASSERT_TRUE(receiver) << receiver.error();
  // The kernel answers each hello with "port unreachable"; the receiver counts it and goes on.
  EXPECT_TRUE(waitUntil([&] { return receiver.value()->statistics().receiveErrors >= 2; }));
  receiver.value()->stop();
  receiver.value()->stop();
  EXPECT_TRUE(receiver.value()->statistics().displays.empty());
}

TEST_F(VideoReceiverTest, MovingToANewPortSaysHelloFromThereAndDecodingGoesOnAfterTheLoss) {
  LoopbackVideoHost host(AF_INET);
  auto receiver = startReceiver(host);
  ASSERT_TRUE(receiver);
  ASSERT_TRUE(host.receiveHello());
  const std::uint16_t firstPort = host.clientPort();
  EXPECT_EQ(receiver->localPort(), firstPort);
  for (std::uint32_t frameID = 0; frameID < 3; ++frameID) {
    host.sendFrame(frames_[frameID], frameID);
  }
  ASSERT_TRUE(events_.waitForPicture(2));

  const auto moved = receiver->changeLocalPort();
  ASSERT_TRUE(moved) << moved.error();
  EXPECT_NE(moved.value(), firstPort);
  EXPECT_EQ(receiver->localPort(), moved.value());
  // A hello the old port repeated before video flowed may still be queued.
  std::optional<std::string> hello;
  do {
    hello = host.receiveHello();
  } while (hello && host.clientPort() == firstPort);
  ASSERT_EQ(hello, "hello");
  EXPECT_EQ(host.clientPort(), moved.value());
  // Frame 3 was on its way to the old port; the new one gets frame 4 on.
  for (std::uint32_t frameID = 4; frameID < frames_.size(); ++frameID) {
    host.sendFrame(frames_[frameID], frameID);
  }
  ASSERT_TRUE(events_.waitForPicture(11));
  receiver->stop();

  EXPECT_EQ(frameIDsOf(events_.pictures()), (std::vector<std::uint32_t>{0, 1, 2, 6, 7, 8, 9, 10, 11}));
  const VideoReceiverStatistics statistics = receiver->statistics();
  const DisplayReceiveStatistics& display = statistics.displays.at(0);
  EXPECT_EQ(display.framesSkippedAwaitingKeyframe, 2u);
  EXPECT_EQ(display.decodeErrors, 0u);
  EXPECT_EQ(statistics.videoPortChanges, 1u);
  ASSERT_TRUE(statistics.firstPictureAfterPortChange);
  EXPECT_EQ(statistics.firstPictureAfterPortChange->samples, 1u);
  EXPECT_EQ(events_.keyframeRequests(), std::vector<std::uint16_t>{0});

  // The old port was given back; a stopped receiver moves nowhere.
  FileDescriptor probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in oldAddress{};
  oldAddress.sin_family = AF_INET;
  oldAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  oldAddress.sin_port = htons(firstPort);
  EXPECT_EQ(::bind(probe.get(), reinterpret_cast<sockaddr*>(&oldAddress), sizeof oldAddress), 0) << std::strerror(errno);
  const auto afterStop = receiver->changeLocalPort();
  ASSERT_FALSE(afterStop);
  EXPECT_EQ(afterStop.error(), "the video receiver has stopped");
}

TEST_F(VideoReceiverTest, ReadsTheVirtualDisplaysStampForLatency) {
  const auto captureStart = std::chrono::steady_clock::now();
  auto microsecondsSince = [](std::chrono::steady_clock::time_point time) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count());
  };
  auto stamped = testing::encodeTestStream(
      {.width = 640, .height = 360, .frameCount = 6, .keyframeInterval = 6},
      [&](std::uint8_t* luma, int stride, int width, int height, int index) {
        for (int row = 0; row < height; ++row) {
          for (int column = 0; column < width; ++column) {
            luma[row * stride + column] = static_cast<std::uint8_t>(column + row + index * 8);
          }
        }
        const FrameStamp stamp{static_cast<std::uint32_t>(1000 + index), microsecondsSince(captureStart)};
        drawFrameStamp(luma, stride, nullptr, 0, width, height, stamp);
      });
  ASSERT_TRUE(stamped);
  LoopbackVideoHost host(AF_INET);
  auto receiver = startReceiver(host);
  ASSERT_TRUE(receiver);
  ASSERT_TRUE(host.receiveHello());

  for (std::uint32_t frameID = 0; frameID < stamped->size(); ++frameID) {
    host.sendFrame((*stamped)[frameID], frameID);
  }
  ASSERT_TRUE(events_.waitForPicture(5));
  const auto decodedBy = std::chrono::steady_clock::now();
  receiver->stop();

  const auto pictures = events_.pictures();
  ASSERT_EQ(pictures.size(), 6u);
  for (std::uint32_t index = 0; index < pictures.size(); ++index) {
    ASSERT_TRUE(pictures[index].stamp) << "picture " << index;
    EXPECT_EQ(pictures[index].stamp->frameNumber, 1000 + index);
    ASSERT_TRUE(pictures[index].latencyMilliseconds);
    EXPECT_GE(*pictures[index].latencyMilliseconds, 0);
    const std::chrono::duration<double, std::milli> sinceCaptureStart = decodedBy - captureStart;
    EXPECT_LE(*pictures[index].latencyMilliseconds, sinceCaptureStart.count());
  }
  const DisplayReceiveStatistics display = receiver->statistics().displays.at(0);
  EXPECT_EQ(display.stampedPictures, 6u);
  ASSERT_TRUE(display.latency);
  EXPECT_EQ(display.latency->samples, 6u);
  EXPECT_LE(display.latency->minimumMilliseconds, display.latency->medianMilliseconds);
  EXPECT_LE(display.latency->p95Milliseconds, display.latency->maximumMilliseconds);
}

TEST(VideoReceiverStartTest, RefusesHostsItCannotAddress) {
  struct Case {
    std::string host;
    std::uint16_t port;
    std::chrono::milliseconds helloInterval;
  };
  for (const Case& refused : {Case{"", 5921, 1000ms}, Case{"127.0.0.1", 0, 1000ms}, Case{"127.0.0.1", 5921, 0ms}}) {
    VideoReceiverOptions options;
    options.host = refused.host;
    options.videoPort = refused.port;
    options.helloInterval = refused.helloInterval;
    const auto receiver = VideoReceiver::start(std::move(options));
    ASSERT_FALSE(receiver) << refused.host << " port " << refused.port;
    EXPECT_FALSE(receiver.error().empty());
  }
}

}  // namespace
}  // namespace velmora
