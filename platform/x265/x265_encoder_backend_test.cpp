#include "platform/x265/x265_encoder_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <mutex>
#include <random>
#include <variant>
#include <vector>

#include "client/hevc_decoder.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Sizes = std::vector<std::pair<int, int>>;

constexpr auto kWaitLimit = 30s;
constexpr std::array<std::uint8_t, 4> kStartCode{0, 0, 0, 1};

struct Output {
  bool isSync = false;
  std::vector<Bytes> parameterSets;
  Bytes data;  // the NAL units one after another
  bool everyUnitHasItsStartCode = true;
  double presentationTime = 0;
};

// Copies every output the session makes, for the test thread to wait on.
class OutputCollector {
 public:
  VideoEncoderBackend::OutputCallback callback() {
    return [this](EncoderStatus status, const EncodedSample* sample) { record(status, sample); };
  }

  std::vector<Output> waitFor(std::size_t count) {
    std::unique_lock lock(outputsLock_);
    outputsChanged_.wait_for(lock, kWaitLimit, [&] { return outputs_.size() >= count; });
    return outputs_;
  }

  // While holding, the session's thread stops inside its next callback.
  void setHolding(bool holding) {
    std::lock_guard lock(outputsLock_);
    holding_ = holding;
    outputsChanged_.notify_all();
  }

 private:
  void record(EncoderStatus status, const EncodedSample* sample) {
    EXPECT_EQ(status, kEncoderStatusOK);
    Output output;
    if (sample != nullptr) {
      output.isSync = sample->attachments && sample->attachments->front().notSync == false;
      if (sample->formatDescription) {
        for (const auto& parameterSet : sample->formatDescription->parameterSets) {
          output.parameterSets.emplace_back(parameterSet ? Bytes(parameterSet->begin(), parameterSet->end()) : Bytes{});
        }
      }
      for (const auto unit : sample->nalUnits) {
        output.everyUnitHasItsStartCode = output.everyUnitHasItsStartCode && unit.size() > 4 &&
                                          std::equal(unit.begin(), unit.begin() + 4, kStartCode.begin());
        output.data.insert(output.data.end(), unit.begin(), unit.end());
      }
      output.presentationTime = sample->presentationTime;
    }
    std::unique_lock lock(outputsLock_);
    outputs_.push_back(std::move(output));
    outputsChanged_.notify_all();
    outputsChanged_.wait_for(lock, kWaitLimit, [&] { return !holding_; });
  }

  std::mutex outputsLock_;
  std::condition_variable outputsChanged_;
  std::vector<Output> outputs_;
  bool holding_ = false;
};

// A gradient under fine grain: costly enough that the bit rate decides the frame size.
std::shared_ptr<PixelBuffer> grainyPicture(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> grain(0, 23);
  auto picture = std::make_shared<PixelBuffer>(width, height);
  for (int index = 0; index < width * height; ++index) {
    picture->luma()[index] = static_cast<std::uint8_t>(index % width / 3 + grain(random));
  }
  for (int index = 0; index < width * (height / 2); ++index) {
    picture->chroma()[index] = static_cast<std::uint8_t>(120 + grain(random));
  }
  return picture;
}

EncoderSettings settingsFor(std::int64_t width, std::int64_t height, std::int64_t bitRate = 2'000'000,
                            std::int64_t frameRate = 30) {
  return {.width = width, .height = height, .averageBitRate = bitRate, .maxKeyFrameInterval = 2 * frameRate,
          .expectedFrameRate = frameRate};
}

std::unique_ptr<VideoEncoderBackend> makeSession(const EncoderSettings& settings, OutputCollector& collector) {
  auto created = makeX265EncoderBackendFactory()(settings, collector.callback());
  const auto* error = std::get_if<VideoEncoderBackendError>(&created);
  EXPECT_EQ(error, nullptr) << "x265 did not start: " << error->description;
  return error ? nullptr : std::move(std::get<std::unique_ptr<VideoEncoderBackend>>(created));
}

// The sizes of the pictures the client's decoder makes of the outputs, the first with its parameter sets.
Sizes decodedSizes(const std::vector<Output>& outputs) {
  auto decoder = HevcDecoder::create({});
  EXPECT_TRUE(decoder.ok());
  Sizes sizes;
  for (std::size_t index = 0; index < outputs.size(); ++index) {
    Bytes accessUnit;
    for (const Bytes& parameterSet : index == 0 ? outputs[0].parameterSets : std::vector<Bytes>{}) {
      accessUnit.insert(accessUnit.end(), {0, 0, 0, 1});
      accessUnit.insert(accessUnit.end(), parameterSet.begin(), parameterSet.end());
    }
    EXPECT_TRUE(outputs[index].everyUnitHasItsStartCode) << index;
    accessUnit.insert(accessUnit.end(), outputs[index].data.begin(), outputs[index].data.end());
    const auto outcome = decoder.value()->decode(accessUnit, [&](const DecodedPicture& picture) {
      sizes.emplace_back(picture.width, picture.height);
    });
    EXPECT_EQ(outcome.error, std::nullopt) << index;
  }
  return sizes;
}

// Encodes the frames one by one, waiting for each output so that none is replaced.
std::vector<Output> encodeInTurn(VideoEncoderBackend& session, OutputCollector& collector, int width, int height,
                                 int count, int forcedIndex = -1) {
  const std::size_t earlier = collector.waitFor(0).size();
  for (int index = 0; index < count; ++index) {
    session.encodeFrame(grainyPicture(width, height, index), 10.0 + index / 30.0, index == forcedIndex, nullptr);
    collector.waitFor(earlier + index + 1);
  }
  const auto outputs = collector.waitFor(earlier + count);
  return {outputs.begin() + static_cast<std::ptrdiff_t>(earlier), outputs.end()};
}

// Odd settings are rounded down, and a capture of another size is scaled to the session's.
TEST(X265EncoderBackend, KeyframesComeFirstAndOnDemandWithParameterSetsAndEveryFrameDecodesAtTheSessionSize) {
  OutputCollector collector;
  auto session = makeSession(settingsFor(321, 181), collector);
  ASSERT_TRUE(session);

  const auto outputs = encodeInTurn(*session, collector, 640, 360, 5, 3);

  ASSERT_EQ(outputs.size(), 5u);
  for (int index = 0; index < 5; ++index) {
    const bool keyframe = index == 0 || index == 3;
    EXPECT_EQ(outputs[index].isSync, keyframe) << index;
    // No SEI first: IDR (19, 20) on keyframes, a non-IRAP slice (below 16) elsewhere.
    const int type = (outputs[index].data.at(4) >> 1) & 0x3f;  // behind the first length
    EXPECT_TRUE(keyframe ? (type == 19 || type == 20) : type < 16) << index << ": " << type;
    EXPECT_DOUBLE_EQ(outputs[index].presentationTime, 10.0 + index / 30.0);
  }
  EXPECT_EQ(outputs[0].parameterSets.size(), 3u);  // VPS, SPS, PPS
  EXPECT_EQ(decodedSizes(outputs), Sizes(5, {320, 180}));
}

TEST(X265EncoderBackend, RefusesSettingsItCannotHonourAndSaysWhy) {
  for (const EncoderSettings& settings : {settingsFor(0, 180), settingsFor(100000, 180),
                                          settingsFor(320, 180, 999), settingsFor(320, 180, 2'000'000, 100000)}) {
    OutputCollector collector;
    auto created = makeX265EncoderBackendFactory()(settings, collector.callback());
    const auto* error = std::get_if<VideoEncoderBackendError>(&created);
    ASSERT_NE(error, nullptr) << settings.width << "x" << settings.height;
    EXPECT_EQ(error->status, kEncoderStatusInvalidSettings);
    EXPECT_FALSE(error->description.empty());
  }
}

// A frame asks for the next one as the session takes it in; a replaced frame asks for nothing.
TEST(X265EncoderBackend, BusyEncoderKeepsOnlyTheNewestWaitingFrameAndItsKeyframeRequest) {
  OutputCollector collector;
  auto session = makeSession(settingsFor(256, 144), collector);
  ASSERT_TRUE(session);
  std::mutex requestsLock;
  std::vector<int> requests;
  const auto requestFor = [&](int index) {
    return [&, index](std::chrono::steady_clock::time_point) {
      std::lock_guard lock(requestsLock);
      requests.push_back(index);
    };
  };
  collector.setHolding(true);
  session->encodeFrame(grainyPicture(256, 144, 0), 1.0, false, requestFor(0));
  ASSERT_EQ(collector.waitFor(1).size(), 1u);  // the session's thread now waits inside the callback

  session->encodeFrame(grainyPicture(256, 144, 1), 2.0, false, requestFor(1));
  session->encodeFrame(grainyPicture(256, 144, 2), 3.0, true, requestFor(2));
  session->encodeFrame(grainyPicture(256, 144, 3), 4.0, false, requestFor(3));
  EXPECT_EQ(session->statistics().replacedFrames, 2u);
  collector.setHolding(false);
  const auto outputs = collector.waitFor(2);

  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_DOUBLE_EQ(outputs[1].presentationTime, 4.0);
  EXPECT_TRUE(outputs[1].isSync) << "the keyframe request of a replaced frame was lost";
  std::lock_guard lock(requestsLock);
  EXPECT_EQ(requests, (std::vector<int>{0, 3}));
}

// x265 would otherwise print its banner and reconfiguration notes on standard error.
TEST(X265EncoderBackend, BitRateChangeShrinksTheFramesFromTheNextKeyframeOnWithNothingOnStandardError) {
  ::testing::internal::CaptureStderr();
  OutputCollector collector;
  auto session = makeSession(settingsFor(640, 360, 5'000'000, 60), collector);
  ASSERT_TRUE(session);
  const auto averageSize = [](const std::vector<Output>& outputs) {
    std::size_t total = 0;
    for (std::size_t index = 2; index < outputs.size(); ++index) {  // past the keyframe and the settling
      total += outputs[index].data.size();
    }
    return total / (outputs.size() - 2);
  };

  const auto before = encodeInTurn(*session, collector, 640, 360, 10);
  EXPECT_FALSE(session->setBitRate(0));
  ASSERT_TRUE(session->setBitRate(500'000));
  const auto after = encodeInTurn(*session, collector, 640, 360, 10);

  ASSERT_EQ(after.size(), 10u);
  EXPECT_TRUE(after[0].isSync);
  EXPECT_EQ(after[0].parameterSets.size(), 3u);
  EXPECT_LT(averageSize(after) * 3, averageSize(before)) << averageSize(before) << " then " << averageSize(after);
  session.reset();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// A session dropped from its own callback cannot join its thread there; the factory's owner must,
// or the thread may still run while the process takes down what it uses.
TEST(X265EncoderBackend, SessionDroppedFromItsOwnCallbackIsJoinedWhenItsFactoryGoes) {
  auto factory = makeX265EncoderBackendFactory();
  auto heldByCallback = std::make_shared<int>(0);
  const std::weak_ptr<int> watched = heldByCallback;
  std::unique_ptr<VideoEncoderBackend> session;
  std::promise<void> submitted;  // encodeFrame has returned: the session is no longer in use here
  std::promise<void> dropped;
  auto created = factory(settingsFor(64, 64), [&, heldByCallback](EncoderStatus, const EncodedSample*) {
    if (session) {
      submitted.get_future().wait();
      session.reset();
      dropped.set_value();
      std::this_thread::sleep_for(200ms);  // the thread's last work, after its owner let go
    }
  });
  heldByCallback.reset();
  ASSERT_TRUE(std::holds_alternative<std::unique_ptr<VideoEncoderBackend>>(created));
  session = std::move(std::get<std::unique_ptr<VideoEncoderBackend>>(created));
  session->encodeFrame(grainyPicture(64, 64, 1), 0, true, nullptr);
  submitted.set_value();
  ASSERT_EQ(dropped.get_future().wait_for(kWaitLimit), std::future_status::ready);
  factory = nullptr;
  EXPECT_TRUE(watched.expired());
}

}  // namespace
}  // namespace velmora
