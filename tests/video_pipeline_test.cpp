// A frame drawn by a virtual display travels capture -> x265 encoder -> video server -> client
// receiver over loopback and decodes.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "client/video_receiver.h"
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

using namespace std::chrono_literals;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr auto kWait = 30s;

int nalUnitType(const std::vector<std::uint8_t>& unit) { return unit.size() > 4 ? (unit[4] >> 1) & 0x3F : -1; }

// What left the encoder and what the client decoded, as seen from their threads.
struct Observations {
  std::mutex observationsLock;
  std::vector<std::vector<int>> keyframeUnitTypes;
  std::uint32_t lastEncodedFrameID = 0;
  int decodedPictures = 0;
  int picturesWithStamp = 0;
  std::vector<std::uint32_t> decodedKeyframeIDs;
  std::pair<int, int> pictureSize;
};

class VideoPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    capture_ = ScreenCaptureService::create(
        {mainQueue_, std::make_shared<VirtualCaptureBackend>(displays_), MacDisplayCatalog::currentSnapshots(*displays_), {}});
    capture_->setTargetDisplayID(1u);
    capture_->setConfiguration(CaptureConfiguration{kWidth, kHeight, 30, kPixelFormat420v});

    encoder_ = std::make_unique<VideoEncoderService>(0, makeX265EncoderBackend);
    encoder_->configure(kWidth, kHeight, 2'000'000, 30);

    VideoStreamServer::Options options;
    options.port = 0;
    server_ = VideoStreamServer::create(options, {[this] { encoder_->requestKeyframe(); }});
    server_->start();
    server_->setAllowedClientHost("127.0.0.1");

    encoder_->onEncodedNALUnits = [this](std::vector<std::vector<std::uint8_t>> units, const VideoFrameMetadata& metadata) {
      {
        std::lock_guard lock(seen_.observationsLock);
        seen_.lastEncodedFrameID = metadata.frameID;
        if (metadata.isKeyframe) {
          std::vector<int> types;
          for (const auto& unit : units) {
            types.push_back(nalUnitType(unit));
          }
          seen_.keyframeUnitTypes.push_back(types);
        }
      }
      server_->send(units, metadata);
    };
    capture_->setOnSampleBuffer([this](const SampleBuffer& frame) { encoder_->encode(frame); });
    capture_->start();
  }

  void TearDown() override {
    if (receiver_) {
      receiver_->stop();
    }
    if (auto stopped = capture_->stop()) {
      stopped->wait();
    }
    // The encoder's output sends through the server: the encoder goes first.
    encoder_.reset();
    server_->stopCompletely();
  }

  void startReceiver() {
    ASSERT_TRUE(server_->listeningPort().has_value());
    VideoReceiverOptions options;
    options.host = "127.0.0.1";
    options.videoPort = *server_->listeningPort();
    options.onPicture = [this](const ReceivedPicture& picture) {
      std::lock_guard lock(seen_.observationsLock);
      ++seen_.decodedPictures;
      seen_.picturesWithStamp += picture.stamp ? 1 : 0;
      seen_.pictureSize = {picture.width, picture.height};
      if (picture.isKeyframe) {
        seen_.decodedKeyframeIDs.push_back(picture.frameID);
      }
    };
    auto receiver = VideoReceiver::start(options);
    ASSERT_TRUE(receiver.ok()) << receiver.error();
    receiver_ = std::move(receiver.value());
  }

  template <class Condition>
  bool waitFor(Condition condition) {
    return mainQueue_.runUntil(
        [&] {
          std::lock_guard lock(seen_.observationsLock);
          return condition();
        },
        kWait);
  }

  ManualMainQueue mainQueue_;
  std::shared_ptr<VirtualDisplaySource> displays_ =
      std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{kWidth, kHeight, 1}});
  std::shared_ptr<ScreenCaptureService> capture_;
  std::unique_ptr<VideoEncoderService> encoder_;
  std::shared_ptr<VideoStreamServer> server_;
  std::unique_ptr<VideoReceiver> receiver_;
  Observations seen_;
};

TEST_F(VideoPipelineTest, VirtualFramesArriveDecodedWithParameterSetsFirstAndStampsReadable) {
  startReceiver();
  ASSERT_TRUE(waitFor([&] { return seen_.decodedPictures >= 10; })) << "decoded " << seen_.decodedPictures;

  std::lock_guard lock(seen_.observationsLock);
  ASSERT_FALSE(seen_.keyframeUnitTypes.empty());
  const auto& first = seen_.keyframeUnitTypes.front();
  ASSERT_GE(first.size(), 4u);
  EXPECT_EQ((std::vector<int>{first[0], first[1], first[2]}), (std::vector<int>{32, 33, 34}));  // VPS, SPS, PPS
  EXPECT_EQ(seen_.pictureSize, (std::pair<int, int>{kWidth, kHeight}));
  EXPECT_GT(seen_.picturesWithStamp, 0);
  EXPECT_EQ(receiver_->statistics().displays.at(0).decodeErrors, 0u);
}

TEST_F(VideoPipelineTest, AKeyframeFollowsARequest) {
  startReceiver();
  ASSERT_TRUE(waitFor([&] { return seen_.decodedPictures >= 5; }));
  std::uint32_t requestedAfter = 0;
  {
    std::lock_guard lock(seen_.observationsLock);
    requestedAfter = seen_.lastEncodedFrameID;
  }
  encoder_->requestKeyframe();
  // The regular keyframe interval is 60 frames; a requested one comes within a few frames.
  ASSERT_TRUE(waitFor([&] {
    return !seen_.decodedKeyframeIDs.empty() && seen_.decodedKeyframeIDs.back() > requestedAfter;
  }));
  std::lock_guard lock(seen_.observationsLock);
  EXPECT_LT(seen_.decodedKeyframeIDs.back(), requestedAfter + 10);
}

}  // namespace
}  // namespace velmora
