#include "video/video_encoder_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "platform/testing/fake_encoder_backend.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

const Bytes kVPS{0x40, 0x01, 0x0c};
const Bytes kSPS{0x42, 0x01, 0x01, 0x60};
const Bytes kPPS{0x44, 0x01, 0xc1};

Bytes withStartCode(Bytes unit) {
  unit.insert(unit.begin(), {0, 0, 0, 1});
  return unit;
}

// An encoded sample over bytes the test owns; keyframe unless told otherwise.
struct SampleSpec {
  std::vector<Bytes> units = {{0, 0, 0, 1, 0x26, 0x01, 0xaf}};  // one slice
  std::optional<bool> notSync = false;
  std::vector<std::optional<Bytes>> parameterSets = {kVPS, kSPS, kPPS};
  double presentationTime = 1.0;

  EncodedSample sample() const {
    EncodedSample sample;
    sample.attachments = std::vector<SampleAttachment>{SampleAttachment{notSync}};
    for (const Bytes& unit : units) {
      sample.nalUnits.emplace_back(unit);
    }
    EncodedFormatDescription description;
    for (const auto& parameterSet : parameterSets) {
      description.parameterSets.push_back(parameterSet ? std::optional(std::span<const std::uint8_t>(*parameterSet))
                                                       : std::nullopt);
    }
    sample.formatDescription = description;
    sample.presentationTime = presentationTime;
    return sample;
  }
};

struct EncodedFrame {
  std::vector<NALUnit> nalUnits;
  VideoFrameMetadata metadata;
};

class VideoEncoderServiceTest : public ::testing::Test {
 protected:
  VideoEncoderServiceTest() {
    service_.onEncodedNALUnits = [this](std::vector<NALUnit> nalUnits, const VideoFrameMetadata& metadata) {
      frames_.push_back(EncodedFrame{std::move(nalUnits), metadata});
    };
  }

  void configure() { service_.configure(1920, 1080, 20'000'000, 60); }
  void emit(const SampleSpec& spec) { ASSERT_TRUE(sessions_.emit(spec.sample())); }
  static SampleBuffer captured(double time = 1.0) { return {std::make_shared<PixelBuffer>(64, 32), time, true, {}}; }

  log::MemoryLogSink logs_;
  testing::FakeEncoderSessions sessions_;
  VideoEncoderService service_{3, sessions_.factory()};
  std::vector<EncodedFrame> frames_;
};

TEST_F(VideoEncoderServiceTest, AFailedCreationDropsFramesUntilTheNextAndEachConfigureReplacesTheSession) {
  sessions_.failNextCreation(-7, "no encoder here");
  configure();
  service_.encode(captured());

  EXPECT_TRUE(sessions_.submittedFrames().empty());
  EXPECT_FALSE(service_.setBitRate(5'000'000));

  service_.configure(2560, 1440, 20'000'000, 60);
  service_.configure(1280, 720, 2'500'000, 30);
  auto frame = captured();
  bool nextFrameRequested = false;
  frame.requestNextFrame = [&](std::chrono::steady_clock::time_point) { nextFrameRequested = true; };
  service_.encode(frame);
  EXPECT_EQ(sessions_.submittedFrames().size(), 1u);
  EXPECT_TRUE(nextFrameRequested) << "the capture's request did not reach the session";
  EXPECT_THAT(sessions_.createdSettings(), ElementsAre(EncoderSettings{1920, 1080, 20'000'000, 120, 60},
                                                       EncoderSettings{2560, 1440, 20'000'000, 120, 60},
                                                       EncoderSettings{1280, 720, 2'500'000, 60, 30}));
  EXPECT_EQ(sessions_.liveSessions(), 1) << "the earlier session was not discarded";
  EXPECT_TRUE(service_.setBitRate(10'000'000));
  EXPECT_THAT(sessions_.bitRateChanges(), ElementsAre(10'000'000));
}

TEST_F(VideoEncoderServiceTest, KeyframeRequestForcesExactlyTheNextFrameWithAPicture) {
  service_.requestKeyframe();  // no session yet: the frame is dropped, the request stays
  service_.encode(captured());
  configure();
  service_.requestKeyframe();
  service_.encode(SampleBuffer{nullptr, 1.0, true, {}});  // no picture: ignored
  service_.encode(captured(2.0));
  service_.encode(captured(3.0));

  const auto frames = sessions_.submittedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].forceKeyframe);
  EXPECT_DOUBLE_EQ(frames[0].presentationTime, 2.0);
  EXPECT_FALSE(frames[1].forceKeyframe);
}

TEST_F(VideoEncoderServiceTest, KeyframeDetectionFollowsTheFirstNotSyncAttachment) {
  const std::pair<std::optional<std::vector<SampleAttachment>>, bool> cases[] = {
      {std::nullopt, false},
      {std::vector{SampleAttachment{std::nullopt}}, true},
      {std::vector{SampleAttachment{true}, SampleAttachment{false}}, false},
  };
  configure();
  const SampleSpec spec;
  for (const auto& [attachments, isKeyframe] : cases) {
    EncodedSample sample = spec.sample();
    sample.attachments = attachments;
    sessions_.emit(sample);
    ASSERT_FALSE(frames_.empty());
    EXPECT_EQ(frames_.back().metadata.isKeyframe, isKeyframe);
    EXPECT_EQ(frames_.back().nalUnits.size(), isKeyframe ? 4u : 1u);
  }
}

TEST_F(VideoEncoderServiceTest, KeyframesStartWithTheirOwnParameterSetsAndAMissingOneKeepsTheStoredValue) {
  configure();
  emit(SampleSpec{});
  emit(SampleSpec{.parameterSets = {Bytes{0x40, 0x01, 0x99}, Bytes{0x42, 0x01, 0x99}, std::nullopt}});
  emit(SampleSpec{.notSync = true});

  ASSERT_EQ(frames_.size(), 3u);
  const Bytes slice = withStartCode({0x26, 0x01, 0xaf});
  EXPECT_THAT(frames_[0].nalUnits, ElementsAre(withStartCode(kVPS), withStartCode(kSPS), withStartCode(kPPS), slice));
  EXPECT_THAT(frames_[1].nalUnits, ElementsAre(withStartCode({0x40, 0x01, 0x99}), withStartCode({0x42, 0x01, 0x99}), slice));
  EXPECT_THAT(frames_[2].nalUnits, ElementsAre(slice));
  EXPECT_EQ(frames_[0].metadata.encodedSize, 7u + 8u + 7u + 7u);
  EXPECT_EQ(service_.currentParameterSets().pps, kPPS);
}

TEST_F(VideoEncoderServiceTest, BadOutputsAndTimesAreDroppedWithoutAFrameIDAndFrameIDsWrap) {
  // Presentation times become truncated microseconds; a frame whose time cannot is dropped.
  const std::pair<double, std::optional<std::uint64_t>> cases[] = {
      {-0.0, 0}, {0.0000019, 1}, {1e13, 10'000'000'000'000'000'000u}, {-1e-9, std::nullopt}, {std::nan(""), std::nullopt},
      {2e13, std::nullopt}};
  configure();
  for (const auto& [seconds, microseconds] : cases) {
    frames_.clear();
    emit(SampleSpec{.presentationTime = seconds});
    service_.encode(captured(seconds));
    ASSERT_EQ(frames_.size(), microseconds ? 1u : 0u) << seconds;
    if (microseconds) {
      EXPECT_EQ(frames_[0].metadata.presentationTimestamp, *microseconds) << seconds;
    }
  }
  EXPECT_EQ(sessions_.submittedFrames().size(), 3u);
  emit(SampleSpec{.units = {}});
  emit(SampleSpec{.units = {{0, 0, 0, 1, 0x26, 0x01, 0xaf}, {0, 0, 1, 0x26, 0x01}}});  // a start code short
  EXPECT_EQ(logs_.countContaining("lacks its start code"), 1u);
  sessions_.emit(kEncoderStatusEncodeFailed, nullptr);
  const SampleSpec spec;
  const EncodedSample failed = spec.sample();
  sessions_.emit(-1, &failed);
  emit(SampleSpec{});
  service_.setNextFrameIDForTesting(4294967295u);
  emit(SampleSpec{});
  emit(SampleSpec{});

  ASSERT_EQ(frames_.size(), 3u);
  EXPECT_EQ(frames_[0].metadata.frameID, 3u);
  EXPECT_EQ(frames_[0].metadata.displayID, 3u);
  EXPECT_EQ(frames_[1].metadata.frameID, 4294967295u);
  EXPECT_EQ(frames_[2].metadata.frameID, 0u);
}

TEST_F(VideoEncoderServiceTest, CaptureOutputAndReconfigurationMayRunAtOnce) {
  configure();
  std::atomic<bool> running{true};
  std::thread capture([&] {
    for (int frame = 0; running; ++frame) {
      service_.encode(captured(frame / 60.0));
    }
  });
  std::thread output([&] {
    for (int frame = 0; frame < 2000; ++frame) {
      sessions_.emit(SampleSpec{}.sample());
    }
  });
  for (int round = 0; round < 20; ++round) {
    service_.requestKeyframe();
    service_.setBitRate(1'000'000 + round);
    configure();
  }
  output.join();
  running = false;
  capture.join();

  EXPECT_EQ(sessions_.liveSessions(), 1);
  for (std::size_t index = 1; index < frames_.size(); ++index) {
    EXPECT_EQ(frames_[index].metadata.frameID, frames_[index - 1].metadata.frameID + 1);
  }
}

}  // namespace
}  // namespace velmora
