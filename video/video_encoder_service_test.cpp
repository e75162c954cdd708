#include "video/video_encoder_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "platform/testing/fake_encoder_backend.h"

namespace velmora {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<std::uint8_t>;

const Bytes kVPS{0x40, 0x01, 0x0c};
const Bytes kSPS{0x42, 0x01, 0x01, 0x60};
const Bytes kPPS{0x44, 0x01, 0xc1};

Bytes withStartCode(const Bytes& unit) {
  Bytes bytes{0, 0, 0, 1};
  bytes.insert(bytes.end(), unit.begin(), unit.end());
  return bytes;
}

Bytes lengthPrefixed(const std::vector<Bytes>& units) {
  Bytes bytes;
  for (const Bytes& unit : units) {
    const auto size = static_cast<std::uint32_t>(unit.size());
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(size >> 24), static_cast<std::uint8_t>(size >> 16),
                               static_cast<std::uint8_t>(size >> 8), static_cast<std::uint8_t>(size)});
    bytes.insert(bytes.end(), unit.begin(), unit.end());
  }
  return bytes;
}

// An encoded sample over bytes the test owns; keyframe unless told otherwise.
struct SampleSpec {
  Bytes data = lengthPrefixed({{0x26, 0x01, 0xaf}});
  NotSyncAttachment notSync = false;
  std::vector<std::optional<Bytes>> parameterSets = {kVPS, kSPS, kPPS};
  double presentationTime = 1.0;

  EncodedSample sample() const {
    EncodedSample sample;
    sample.attachments = std::vector<SampleAttachment>{SampleAttachment{notSync}};
    sample.data = std::span<const std::uint8_t>(data);
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
  static SampleBuffer captured(double presentationTime = 1.0) {
    return SampleBuffer{std::make_shared<PixelBuffer>(64, 32), presentationTime, true};
  }

  log::MemoryLogSink logs_;
  testing::FakeEncoderSessions sessions_;
  VideoEncoderService service_{3, sessions_.factory()};
  std::vector<EncodedFrame> frames_;
};

TEST_F(VideoEncoderServiceTest, ConfigureCreatesARealTimeSessionAndLogsItsSettings) {
  service_.configure(2560, 1440, 20'000'000, 60);
  service_.configure(1280, 720, 2'500'000, 30);

  EXPECT_EQ(logs_.count(log::Level::info, "EncoderSession configured: 2560x1440px @ 20Mbps (20000000bps, 60fps)"), 1u);
  EXPECT_EQ(logs_.count(log::Level::info, "EncoderSession configured: 1280x720px @ 2Mbps (2500000bps, 30fps)"), 1u);
  const auto settings = sessions_.createdSettings();
  ASSERT_EQ(settings.size(), 2u);
  EXPECT_EQ(settings[0], (EncoderSettings{2560, 1440, 20'000'000, 120, 60}));
  EXPECT_EQ(settings[1].maxKeyFrameInterval, 60);
  EXPECT_EQ(sessions_.liveSessions(), 1) << "the first session was not discarded";
}

TEST_F(VideoEncoderServiceTest, FailedCreationIsLoggedAndFramesAreDroppedUntilTheNextSuccess) {
  sessions_.failNextCreation(-7, "no encoder here");
  configure();
  service_.encode(captured());

  EXPECT_EQ(logs_.count(log::Level::error, "Failed to create compression session: -7"), 1u);
  EXPECT_EQ(logs_.countContaining("no encoder here"), 1u);
  EXPECT_TRUE(sessions_.submittedFrames().empty());
  EXPECT_FALSE(service_.setBitRate(5'000'000));

  configure();
  service_.encode(captured());
  EXPECT_EQ(sessions_.submittedFrames().size(), 1u);
}

TEST_F(VideoEncoderServiceTest, KeyframeRequestForcesExactlyTheNextFrameWithAPicture) {
  service_.requestKeyframe();  // no session yet: the frame is dropped, the request stays
  service_.encode(captured());
  configure();
  service_.requestKeyframe();
  service_.encode(SampleBuffer{nullptr, 1.0, true});  // no picture: ignored
  service_.encode(captured(2.0));
  service_.encode(captured(3.0));

  const auto frames = sessions_.submittedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_TRUE(frames[0].forceKeyframe);
  EXPECT_DOUBLE_EQ(frames[0].presentationTime, 2.0);
  EXPECT_FALSE(frames[1].forceKeyframe);
}

TEST_F(VideoEncoderServiceTest, InputSizeIsLoggedOncePerEncoderAcrossReconfigurations) {
  configure();
  service_.encode(captured());
  configure();
  service_.encode(captured());

  EXPECT_EQ(logs_.count(log::Level::info, "EncoderInput 64x32px"), 1u);
}

TEST_F(VideoEncoderServiceTest, KeyframeDetectionFollowsTheFirstNotSyncAttachment) {
  struct Case {
    const char* name;
    std::optional<std::vector<SampleAttachment>> attachments;
    bool isKeyframe;
  };
  const std::vector<Case> cases = {
      {"no array", std::nullopt, false},
      {"empty array", std::vector<SampleAttachment>{}, false},
      {"no entry", std::vector{SampleAttachment{std::monostate{}}}, true},
      {"NotSync true", std::vector{SampleAttachment{true}}, false},
      {"NotSync false", std::vector{SampleAttachment{false}}, true},
      {"not a boolean", std::vector{SampleAttachment{NonBooleanAttachmentValue{}}}, true},
      {"only the first counts", std::vector{SampleAttachment{true}, SampleAttachment{false}}, false},
  };
  configure();
  const SampleSpec spec;
  for (const Case& test : cases) {
    EncodedSample sample = spec.sample();
    sample.attachments = test.attachments;
    sessions_.emit(sample);
    ASSERT_FALSE(frames_.empty());
    EXPECT_EQ(frames_.back().metadata.isKeyframe, test.isKeyframe) << test.name;
    EXPECT_EQ(frames_.back().nalUnits.size(), test.isKeyframe ? 4u : 1u) << test.name;
  }
}

TEST_F(VideoEncoderServiceTest, KeyframesStartWithTheirOwnParameterSetsAndAMissingOneKeepsTheStoredValue) {
  configure();
  SampleSpec first;
  emit(first);
  SampleSpec withoutPPS;
  withoutPPS.parameterSets = {Bytes{0x40, 0x01, 0x99}, Bytes{0x42, 0x01, 0x99}, std::nullopt};
  emit(withoutPPS);
  SampleSpec delta;
  delta.notSync = true;
  emit(delta);

  ASSERT_EQ(frames_.size(), 3u);
  const Bytes slice = withStartCode({0x26, 0x01, 0xaf});
  EXPECT_THAT(frames_[0].nalUnits, ElementsAre(withStartCode(kVPS), withStartCode(kSPS), withStartCode(kPPS), slice));
  EXPECT_THAT(frames_[1].nalUnits,
              ElementsAre(withStartCode({0x40, 0x01, 0x99}), withStartCode({0x42, 0x01, 0x99}), slice));
  EXPECT_THAT(frames_[2].nalUnits, ElementsAre(slice));
  EXPECT_EQ(frames_[0].metadata.encodedSize, 7u + 8u + 7u + 7u);
  const HEVCParameterSets stored = service_.currentParameterSets();
  EXPECT_EQ(stored.vps, (Bytes{0x40, 0x01, 0x99}));
  EXPECT_EQ(stored.sps, (Bytes{0x42, 0x01, 0x99}));
  EXPECT_EQ(stored.pps, kPPS);
}

TEST_F(VideoEncoderServiceTest, LengthPrefixWalkKeepsTheUnitsBeforeAMalformedTail) {
  const Bytes a{0x02, 0x01, 0xaa};
  const Bytes b{0x02, 0x01, 0xbb, 0xcc};
  struct Case {
    const char* name;
    Bytes data;
    std::vector<Bytes> expected;
  };
  const auto joined = [](Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const std::vector<Case> cases = {
      {"two units", lengthPrefixed({a, b}), {a, b}},
      {"zero length ends the walk", joined(lengthPrefixed({a}), joined({0, 0, 0, 0}, lengthPrefixed({b}))), {a}},
      {"length past the end", joined(lengthPrefixed({a}), {0, 0, 0, 9, 0x02, 0x01}), {a}},
      {"truncated length field", joined(lengthPrefixed({a}), {0, 0, 1}), {a}},
      {"a bare length field", joined(lengthPrefixed({a}), {0, 0, 0, 1}), {a}},
      {"nothing usable", {0, 0, 0, 5}, {}},
  };
  configure();
  for (const Case& test : cases) {
    SampleSpec spec;
    spec.notSync = true;
    spec.data = test.data;
    frames_.clear();
    emit(spec);
    ASSERT_EQ(frames_.size(), 1u) << test.name;
    std::vector<Bytes> expected;
    std::uint32_t size = 0;
    for (const Bytes& unit : test.expected) {
      expected.push_back(withStartCode(unit));
      size += static_cast<std::uint32_t>(unit.size() + 4);
    }
    EXPECT_EQ(frames_[0].nalUnits, expected) << test.name;
    EXPECT_EQ(frames_[0].metadata.encodedSize, size) << test.name;
  }
}

TEST_F(VideoEncoderServiceTest, OutputsWithoutDataAreCountedButNotNumberedAndFailuresNeither) {
  configure();
  SampleSpec noData;
  EncodedSample missing = noData.sample();
  missing.data.reset();
  sessions_.emit(missing);
  noData.data.clear();
  emit(noData);
  sessions_.emit(kEncoderStatusEncodeFailed, nullptr);
  sessions_.emit(kEncoderStatusOK, nullptr);
  const SampleSpec good;
  const EncodedSample failed = good.sample();
  sessions_.emit(-1, &failed);
  emit(good);

  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0].metadata.frameID, 0u);
  EXPECT_EQ(frames_[0].metadata.displayID, 3u);
  EXPECT_EQ(logs_.count(log::Level::debug, "Encoded frame #3"), 1u);
  EXPECT_EQ(logs_.countContaining("Encoded frame #4"), 0u);
}

TEST_F(VideoEncoderServiceTest, FrameIDWrapsAt32Bits) {
  configure();
  service_.setNextFrameIDForTesting(4294967295u);
  emit(SampleSpec{});
  emit(SampleSpec{});

  ASSERT_EQ(frames_.size(), 2u);
  EXPECT_EQ(frames_[0].metadata.frameID, 4294967295u);
  EXPECT_EQ(frames_[1].metadata.frameID, 0u);
}

TEST_F(VideoEncoderServiceTest, PresentationTimeBecomesTruncatedMicroseconds) {
  const std::pair<double, std::uint64_t> cases[] = {
      {1.5, 1'500'000}, {0.0, 0}, {-0.0, 0}, {0.0000019, 1}, {12345.678901, 12'345'678'901}, {1e13, 10'000'000'000'000'000'000u}};
  configure();
  for (const auto& [seconds, microseconds] : cases) {
    SampleSpec spec;
    spec.presentationTime = seconds;
    emit(spec);
    EXPECT_EQ(frames_.back().metadata.presentationTimestamp, microseconds) << seconds;
  }
}

TEST_F(VideoEncoderServiceTest, InvalidPresentationTimesDropTheFrameWithoutUsingAFrameID) {
  const double cases[] = {-1.0, -1e-9, std::nan(""), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(), 2e13};
  configure();
  for (const double seconds : cases) {
    SampleSpec spec;
    spec.presentationTime = seconds;
    emit(spec);
    service_.encode(captured(seconds));
  }
  emit(SampleSpec{});

  ASSERT_EQ(frames_.size(), 1u);
  EXPECT_EQ(frames_[0].metadata.frameID, 0u);
  EXPECT_TRUE(sessions_.submittedFrames().empty());
  EXPECT_EQ(logs_.count(log::Level::error, "Dropping frame with invalid presentation time: -1 (dropped so far: 1)"), 1u);
  EXPECT_EQ(logs_.countContaining("Dropping frame with invalid presentation time"), 3u) << "not throttled";
}

TEST_F(VideoEncoderServiceTest, EncodedFrameLinesFollowTheLogCadence) {
  configure();
  for (int frame = 0; frame < 600; ++frame) {
    emit(SampleSpec{});
  }

  std::vector<std::string> lines;
  for (const auto& line : logs_.lines()) {
    if (line.message.starts_with("Encoded frame #")) {
      lines.push_back(line.message);
    }
  }
  EXPECT_THAT(lines, ElementsAre("Encoded frame #1", "Encoded frame #2", "Encoded frame #3", "Encoded frame #300",
                                 "Encoded frame #600"));
}

TEST_F(VideoEncoderServiceTest, BitRateChangeReachesTheSession) {
  EXPECT_FALSE(service_.setBitRate(10'000'000));
  configure();
  EXPECT_TRUE(service_.setBitRate(10'000'000));
  sessions_.refuseBitRates(true);
  EXPECT_FALSE(service_.setBitRate(1));

  EXPECT_THAT(sessions_.bitRateChanges(), ElementsAre(10'000'000));
}

TEST_F(VideoEncoderServiceTest, CallbackRunsWithoutTheServiceLocksHeld) {
  configure();
  bool called = false;
  service_.onEncodedNALUnits = [&](std::vector<NALUnit>, const VideoFrameMetadata&) {
    // Each of these takes one of the two locks; a lock still held here would deadlock.
    service_.requestKeyframe();
    EXPECT_TRUE(service_.currentParameterSets().pps.has_value());
    EXPECT_TRUE(service_.sessionStatistics().has_value());
    called = true;
  };
  emit(SampleSpec{});
  EXPECT_TRUE(called);
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
