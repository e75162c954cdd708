#include "client/video_receiver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <iterator>
#include <mutex>

#include "client/hevc_decoder.h"
#include "client/hevc_test_stream.h"
#include "platform/net/testing/udp_test_peer.h"
#include "protocol/frame_packet_header.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::EncodedTestFrame;
using testing::kEventTimeout;
using testing::UdpTestPeer;

const Bytes kHello{'h', 'e', 'l', 'l', 'o'};
constexpr auto kShortHelloInterval = 100ms;

// What the receive thread reports; the test reads the lists once the receiver has stopped.
struct ReceiverEvents {
  void attachTo(VideoReceiverOptions& options) {
    options.onPicture = [this](const ReceivedPicture& picture) {
      std::lock_guard lock(eventsLock);
      pictures.push_back(picture);
      pictures.back().luma = nullptr;  // valid only during the callback
      changed.notify_all();
    };
    options.onKeyframeNeeded = [this](std::uint16_t displayID) {
      std::lock_guard lock(eventsLock);
      keyframeRequests.push_back(displayID);
    };
  }

  bool waitForPicture(std::uint32_t frameID) {
    std::unique_lock lock(eventsLock);
    return changed.wait_for(lock, kEventTimeout, [&] {
      return std::ranges::any_of(pictures, [&](const ReceivedPicture& seen) { return seen.frameID == frameID; });
    });
  }

  std::mutex eventsLock;
  std::condition_variable changed;
  std::vector<ReceivedPicture> pictures;
  std::vector<std::uint16_t> keyframeRequests;
};

// Pictures and errors of decoding the frames in turn.
std::pair<int, int> decodeAll(HevcDecoder& decoder, const std::vector<EncodedTestFrame>& frames) {
  std::pair<int, int> decoded;
  for (const EncodedTestFrame& frame : frames) {
    const auto outcome = decoder.decode(frame.bytes, [](const DecodedPicture&) {});
    decoded.first += outcome.pictures;
    decoded.second += outcome.error ? 1 : 0;
  }
  return decoded;
}

class VideoReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto encoded = testing::encodeTestStream();
    if (!encoded) {
      GTEST_SKIP() << "libavcodec was built without libx265";
    }
    frames_ = std::move(*encoded);
    ASSERT_EQ(frames_.size(), 12u);
    ASSERT_GE(testing::datagramsOf(frames_[1], 0).size(), 2u) << "noise keeps every frame several datagrams long";
  }

  // Started against host_, once its first hello arrived.
  std::unique_ptr<VideoReceiver> startReceiver(VideoReceiverOptions options = {}) {
    options.host = "127.0.0.1";
    options.videoPort = host_.port();
    events_.attachTo(options);
    auto receiver = VideoReceiver::start(std::move(options));
    EXPECT_TRUE(receiver) << receiver.error();
    EXPECT_EQ(host_.receive(), kHello);
    clientPort_ = receiver ? receiver.value()->localPort() : 0;
    return receiver ? std::move(receiver.value()) : nullptr;
  }

  // Frames [first, end) numbered by their index; the second fragment of frame `lossy` is lost.
  void sendFrames(std::uint32_t first, std::uint32_t end, std::optional<std::uint32_t> lossy = std::nullopt) {
    for (std::uint32_t frameID = first; frameID < end; ++frameID) {
      const auto datagrams = testing::datagramsOf(frames_[frameID], frameID);
      for (std::size_t index = 0; index < datagrams.size(); ++index) {
        if (frameID != lossy || index != 1) {
          host_.sendTo(clientPort_, datagrams[index]);
        }
      }
    }
  }

  std::vector<EncodedTestFrame> frames_;
  UdpTestPeer host_;  // the host's video port: the receiver says hello to it, and it answers
  std::uint16_t clientPort_ = 0;
  ReceiverEvents events_;
};

TEST_F(VideoReceiverTest, LostFragmentDropsTheFrameAndDecodingResumesAtTheNextKeyframe) {
  auto receiver = startReceiver();
  ASSERT_TRUE(receiver);

  sendFrames(0, 12, 2);
  ASSERT_TRUE(events_.waitForPicture(11));
  receiver->stop();

  std::vector<std::uint32_t> frameIDs;
  std::ranges::transform(events_.pictures, std::back_inserter(frameIDs), &ReceivedPicture::frameID);
  EXPECT_EQ(frameIDs, (std::vector<std::uint32_t>{0, 1, 6, 7, 8, 9, 10, 11}));
  EXPECT_EQ(events_.keyframeRequests, std::vector<std::uint16_t>{0}) << "one request a second at most";
}

TEST_F(VideoReceiverTest, DecodesEveryFrameAndCountsHostileDatagramsBetweenThem) {
  VideoReceiverOptions options;
  options.maxDisplays = 2;
  auto receiver = startReceiver(std::move(options));
  ASSERT_TRUE(receiver);

  sendFrames(0, 1);
  host_.sendTo(clientPort_, Bytes(16, 0));
  // Well-formed frames of junk: display 1 gets a "keyframe" that is not HEVC, displays 5 and 6
  // are beyond the receiver's limit of two.
  for (const std::uint16_t displayID : std::initializer_list<std::uint16_t>{1, 5, 6}) {
    const auto header = FramePacketHeader(0, 0, 1, 1000, true, displayID).serialize();
    Bytes junk(header.begin(), header.end());
    junk.resize(16 + 1000, 0xA5);
    host_.sendTo(clientPort_, junk);
  }
  sendFrames(1, 12);
  ASSERT_TRUE(events_.waitForPicture(11));
  receiver->stop();

  ASSERT_EQ(events_.pictures.size(), 12u);
  for (std::uint32_t index = 0; index < 12; ++index) {
    const auto& picture = events_.pictures[index];
    EXPECT_EQ(std::tuple(picture.frameID, picture.isKeyframe, picture.width, picture.height),
              std::tuple(index, index % 6 == 0, 320, 192));
  }
  EXPECT_EQ(std::ranges::count(events_.keyframeRequests, 0), 0);
  const VideoReceiverStatistics statistics = receiver->statistics();
  EXPECT_EQ(statistics.framesOfIgnoredDisplays, 2u);
  ASSERT_EQ(statistics.displays.size(), 2u);
  EXPECT_EQ(statistics.displays[0].picturesDecoded, 12u);
  EXPECT_EQ(statistics.displays[1].decodeErrors, 1u);
}

TEST_F(VideoReceiverTest, DecoderRefusesPicturesLargerThanTheLimit) {
  auto narrow = HevcDecoder::create({256, HevcDecoder::Limits{}.maxPicturePixels});
  ASSERT_TRUE(narrow);
  EXPECT_EQ(decodeAll(*narrow.value(), frames_), std::make_pair(0, 12));

  // The pixel limit stops the decoder before it reserves memory for the picture.
  auto small = HevcDecoder::create({8192, 320 * 100});
  ASSERT_TRUE(small);
  const auto stopped = decodeAll(*small.value(), frames_);
  EXPECT_EQ(stopped.first, 0);
  EXPECT_GE(stopped.second, 1);
}

TEST_F(VideoReceiverTest, DecoderSurvivesMalformedAccessUnitsAndDecodesTheNextKeyframe) {
  auto decoder = HevcDecoder::create({});
  ASSERT_TRUE(decoder);
  std::vector<std::uint8_t> noise(5000);
  testing::drawNoise(noise.data(), 100, 100, 50, 1);
  const std::vector<EncodedTestFrame> malformed{{{frames_[0].bytes.begin(), frames_[0].bytes.begin() + 60}, true},
                                                {noise, true},
                                                {{0, 0, 0, 1, 0, 0, 0, 1, 0x40, 0x01}, true},
                                                {frames_[1].bytes, false}};

  EXPECT_EQ(decodeAll(*decoder.value(), malformed).first, 0);
  EXPECT_EQ(decoder.value()->decode({}, {}).pictures, 0) << "an empty frame must not end decoding";
  EXPECT_EQ(decodeAll(*decoder.value(), frames_), std::make_pair(12, 0));
}

TEST(VideoReceiverStartTest, RefusesHostsItCannotAddressAndStopsPromptlyWhenTheHostIsGone) {
  VideoReceiverOptions options;  // no host, then no port, then no hello interval
  EXPECT_FALSE(VideoReceiver::start(options));
  options.host = "127.0.0.1";
  options.videoPort = 0;
  EXPECT_FALSE(VideoReceiver::start(options));
  options.videoPort = UdpTestPeer().port();  // closed once the peer is gone
  options.helloInterval = 0ms;
  EXPECT_FALSE(VideoReceiver::start(options));

  options.helloInterval = kShortHelloInterval;
  auto receiver = VideoReceiver::start(options);
  ASSERT_TRUE(receiver) << receiver.error();
  // The kernel answers each hello with "port unreachable"; the receiver counts it and goes on.
  EXPECT_TRUE(testing::waitUntil([&] { return receiver.value()->statistics().receiveErrors >= 2; }));
  receiver.value()->stop();
  receiver.value()->stop();
  EXPECT_TRUE(receiver.value()->statistics().displays.empty());
}

}  // namespace
}  // namespace velmora
