#include "platform/x265/x265_encoder_backend.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
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
using ::testing::ElementsAre;

constexpr auto kWaitLimit = 30s;

struct Output {
  EncoderStatus status = kEncoderStatusOK;
  bool hasSample = false;
  bool isSync = false;
  std::vector<Bytes> parameterSets;
  Bytes data;
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

  // The session's thread stops inside its next callback until release() is called.
  void holdNextCallback() {
    std::lock_guard lock(outputsLock_);
    holding_ = true;
  }
  void release() {
    {
      std::lock_guard lock(outputsLock_);
      holding_ = false;
    }
    outputsChanged_.notify_all();
  }

 private:
  void record(EncoderStatus status, const EncodedSample* sample) {
    Output output;
    output.status = status;
    output.hasSample = sample != nullptr;
    if (sample != nullptr) {
      output.isSync = sample->attachments && sample->attachments->front().notSync == false;
      if (sample->formatDescription) {
        for (const auto& parameterSet : sample->formatDescription->parameterSets) {
          output.parameterSets.emplace_back(parameterSet ? Bytes(parameterSet->begin(), parameterSet->end()) : Bytes{});
        }
      }
      if (sample->data) {
        output.data.assign(sample->data->begin(), sample->data->end());
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

std::shared_ptr<PixelBuffer> movingPicture(int width, int height, int frame) {
  auto picture = std::make_shared<PixelBuffer>(width, height);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      picture->luma()[y * width + x] = static_cast<std::uint8_t>(x + 2 * y + 5 * frame);
    }
  }
  for (int index = 0; index < width * (height / 2); ++index) {
    picture->chroma()[index] = static_cast<std::uint8_t>(96 + (index + frame) % 64);
  }
  return picture;
}

// A gradient under fine grain: costly enough that the bit rate decides the frame size.
std::shared_ptr<PixelBuffer> grainyPicture(int width, int height, std::mt19937& random) {
  auto picture = std::make_shared<PixelBuffer>(width, height);
  std::uniform_int_distribution<int> grain(0, 23);
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
  EncoderSettings settings;
  settings.width = width;
  settings.height = height;
  settings.averageBitRate = bitRate;
  settings.expectedFrameRate = frameRate;
  settings.maxKeyFrameInterval = 2 * frameRate;
  return settings;
}

std::unique_ptr<VideoEncoderBackend> makeSession(const EncoderSettings& settings, OutputCollector& collector) {
  auto created = makeX265EncoderBackend(settings, collector.callback());
  if (auto* error = std::get_if<VideoEncoderBackendError>(&created)) {
    ADD_FAILURE() << "x265 did not start: " << error->description;
    return nullptr;
  }
  return std::move(std::get<std::unique_ptr<VideoEncoderBackend>>(created));
}

int nalType(const Bytes& unit) { return unit.empty() ? -1 : (unit[0] >> 1) & 0x3f; }

// The units of a length-prefixed buffer, without their prefixes.
std::vector<Bytes> lengthPrefixedUnits(const Bytes& data) {
  std::vector<Bytes> units;
  std::size_t offset = 0;
  while (offset + 4 <= data.size()) {
    const std::size_t length = std::size_t{data[offset]} << 24 | std::size_t{data[offset + 1]} << 16 |
                               std::size_t{data[offset + 2]} << 8 | data[offset + 3];
    if (offset + 4 + length > data.size()) {
      break;
    }
    units.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(offset + 4),
                       data.begin() + static_cast<std::ptrdiff_t>(offset + 4 + length));
    offset += 4 + length;
  }
  EXPECT_EQ(offset, data.size()) << "trailing bytes after the last unit";
  return units;
}

std::vector<int> sliceTypes(const Output& output) {
  std::vector<int> types;
  for (const Bytes& unit : lengthPrefixedUnits(output.data)) {
    types.push_back(nalType(unit));
  }
  return types;
}

Bytes annexB(const Output& output, bool withParameterSets) {
  Bytes accessUnit;
  const auto append = [&](const Bytes& unit) {
    accessUnit.insert(accessUnit.end(), {0, 0, 0, 1});
    accessUnit.insert(accessUnit.end(), unit.begin(), unit.end());
  };
  if (withParameterSets) {
    for (const Bytes& parameterSet : output.parameterSets) {
      append(parameterSet);
    }
  }
  for (const Bytes& unit : lengthPrefixedUnits(output.data)) {
    append(unit);
  }
  return accessUnit;
}

// The sizes of the pictures the client's decoder makes of the outputs, the first with its parameter sets.
std::vector<std::pair<int, int>> decodedSizes(const std::vector<Output>& outputs) {
  auto decoder = HevcDecoder::create({});
  EXPECT_TRUE(decoder.ok());
  std::vector<std::pair<int, int>> sizes;
  for (std::size_t index = 0; index < outputs.size(); ++index) {
    const auto outcome = decoder.value()->decode(annexB(outputs[index], index == 0), [&](const DecodedPicture& picture) {
      sizes.emplace_back(picture.width, picture.height);
    });
    EXPECT_EQ(outcome.error, std::nullopt) << index;
  }
  return sizes;
}

// Encodes the frames one by one, waiting for each output so that none is replaced.
std::vector<Output> encodeInTurn(VideoEncoderBackend& session, OutputCollector& collector,
                                 const std::vector<std::shared_ptr<PixelBuffer>>& frames,
                                 const std::vector<bool>& forced = {}) {
  const std::size_t earlier = collector.waitFor(0).size();
  std::vector<Output> outputs;
  for (std::size_t index = 0; index < frames.size(); ++index) {
    const bool force = index < forced.size() && forced[index];
    session.encodeFrame(frames[index], 10.0 + static_cast<double>(index) / 30, force);
    outputs = collector.waitFor(earlier + index + 1);
  }
  outputs.erase(outputs.begin(), outputs.begin() + static_cast<std::ptrdiff_t>(std::min(earlier, outputs.size())));
  return outputs;
}

TEST(X265EncoderBackend, KeyframesComeFirstAndOnDemandWithParameterSetsAndEveryFrameDecodes) {
  OutputCollector collector;
  auto session = makeSession(settingsFor(320, 180), collector);
  ASSERT_TRUE(session);
  std::vector<std::shared_ptr<PixelBuffer>> frames;
  for (int frame = 0; frame < 6; ++frame) {
    frames.push_back(movingPicture(320, 180, frame));
  }
  const std::vector<bool> forced = {false, false, false, true, false, false};

  const auto outputs = encodeInTurn(*session, collector, frames, forced);

  ASSERT_EQ(outputs.size(), 6u);
  for (std::size_t index = 0; index < outputs.size(); ++index) {
    const bool keyframe = index == 0 || forced[index];
    EXPECT_EQ(outputs[index].status, kEncoderStatusOK);
    EXPECT_EQ(outputs[index].isSync, keyframe) << index;
    // One slice and no SEI: IDR (19, 20) on keyframes, a non-IRAP slice (below 16) elsewhere.
    const auto slice = keyframe ? ::testing::Matcher<int>(::testing::AnyOf(19, 20)) : ::testing::Matcher<int>(::testing::Lt(16));
    EXPECT_THAT(sliceTypes(outputs[index]), ElementsAre(slice)) << index;
    EXPECT_DOUBLE_EQ(outputs[index].presentationTime, 10.0 + static_cast<double>(index) / 30);
  }
  ASSERT_EQ(outputs[0].parameterSets.size(), 3u);
  EXPECT_EQ(nalType(outputs[0].parameterSets[0]), 32);
  EXPECT_EQ(nalType(outputs[0].parameterSets[1]), 33);
  EXPECT_EQ(nalType(outputs[0].parameterSets[2]), 34);
  EXPECT_EQ(decodedSizes(outputs), (std::vector<std::pair<int, int>>(6, {320, 180})));
}

TEST(X265EncoderBackend, PicturesComeOutAtTheSessionSizeMadeEven) {
  struct Case {
    std::int64_t width, height;
    int inputWidth, inputHeight;
    int expectedWidth, expectedHeight;
  };
  const Case cases[] = {
      {641, 361, 640, 360, 640, 360},  // odd settings are rounded down to the captured size
      {320, 180, 640, 360, 320, 180},  // a larger capture is scaled down
      {320, 180, 160, 90, 320, 180},   // a smaller one is scaled up
  };
  for (const Case& test : cases) {
    OutputCollector collector;
    auto session = makeSession(settingsFor(test.width, test.height), collector);
    ASSERT_TRUE(session);
    const auto outputs = encodeInTurn(*session, collector, {movingPicture(test.inputWidth, test.inputHeight, 0)});
    EXPECT_EQ(decodedSizes(outputs), (std::vector<std::pair<int, int>>{{test.expectedWidth, test.expectedHeight}}))
        << test.width << "x" << test.height << " from " << test.inputWidth << "x" << test.inputHeight;
  }
}

TEST(X265EncoderBackend, RefusesSettingsItCannotHonourAndSaysWhy) {
  const EncoderSettings cases[] = {
      settingsFor(0, 180),           settingsFor(320, -2),         settingsFor(100000, 180),
      settingsFor(320, 180, 2'000'000, 0), settingsFor(320, 180, 999), settingsFor(320, 180, 2'000'000, 100000),
  };
  for (const EncoderSettings& settings : cases) {
    OutputCollector collector;
    auto created = makeX265EncoderBackend(settings, collector.callback());
    const auto* error = std::get_if<VideoEncoderBackendError>(&created);
    ASSERT_NE(error, nullptr) << settings.width << "x" << settings.height;
    EXPECT_EQ(error->status, kEncoderStatusInvalidSettings);
    EXPECT_FALSE(error->description.empty());
  }
}

TEST(X265EncoderBackend, BusyEncoderKeepsOnlyTheNewestWaitingFrameAndItsKeyframeRequest) {
  OutputCollector collector;
  auto session = makeSession(settingsFor(256, 144), collector);
  ASSERT_TRUE(session);
  collector.holdNextCallback();
  session->encodeFrame(movingPicture(256, 144, 0), 1.0, false);
  ASSERT_EQ(collector.waitFor(1).size(), 1u);  // the session's thread now waits inside the callback

  session->encodeFrame(movingPicture(256, 144, 1), 2.0, false);
  session->encodeFrame(movingPicture(256, 144, 2), 3.0, true);
  session->encodeFrame(movingPicture(256, 144, 3), 4.0, false);
  const auto whileBusy = session->statistics();
  collector.release();
  const auto outputs = collector.waitFor(2);

  EXPECT_EQ(whileBusy.submittedFrames, 4u);
  EXPECT_EQ(whileBusy.replacedFrames, 2u);
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_DOUBLE_EQ(outputs[1].presentationTime, 4.0);
  EXPECT_TRUE(outputs[1].isSync) << "the keyframe request of a replaced frame was lost";
  EXPECT_EQ(session->statistics().encodedFrames, 2u);
}

// x265 would otherwise print its banner and reconfiguration notes on standard error.
TEST(X265EncoderBackend, BitRateChangeShrinksTheFramesFromTheNextKeyframeOnWithNothingOnStandardError) {
  ::testing::internal::CaptureStderr();
  OutputCollector collector;
  auto session = makeSession(settingsFor(640, 360, 5'000'000, 60), collector);
  ASSERT_TRUE(session);
  std::mt19937 random(7);
  std::vector<std::shared_ptr<PixelBuffer>> frames;
  for (int frame = 0; frame < 10; ++frame) {
    frames.push_back(grainyPicture(640, 360, random));
  }
  const auto averageSize = [](const std::vector<Output>& outputs) {
    std::size_t total = 0;
    for (std::size_t index = 2; index < outputs.size(); ++index) {  // past the keyframe and the settling
      total += outputs[index].data.size();
    }
    return total / (outputs.size() - 2);
  };

  const auto before = encodeInTurn(*session, collector, frames);
  EXPECT_FALSE(session->setBitRate(0));
  ASSERT_TRUE(session->setBitRate(500'000));
  const auto after = encodeInTurn(*session, collector, frames);

  ASSERT_EQ(after.size(), frames.size());
  EXPECT_TRUE(after[0].isSync);
  EXPECT_EQ(after[0].parameterSets.size(), 3u);
  EXPECT_LT(averageSize(after) * 3, averageSize(before))
      << "at 5 Mbit/s " << averageSize(before) << " bytes, at 0.5 Mbit/s " << averageSize(after);
  session.reset();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace velmora
