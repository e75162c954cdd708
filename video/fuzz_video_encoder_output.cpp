// VideoEncoderService's output path against arbitrary encoder output, through the fake session:
// samples with any attachments, parameter sets, data and times, among encoder errors, keyframe
// requests, reconfigurations (some failing), captured frames and frame numbers near the 32-bit wrap.
// Every frame that comes out is checked against an independent reading of what went in.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "platform/testing/fake_encoder_backend.h"
#include "video/video_encoder_service.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

double presentationTime(FuzzedDataProvider& data) {
  return data.ConsumeBool() ? data.PickValueInArray<double>({std::nan(""), HUGE_VAL, -1.0, 1.5, 2e13}) : data.ConsumeFloatingPoint<double>();
}

Bytes withStartCode(std::span<const std::uint8_t> unit) {
  Bytes bytes{0, 0, 0, 1};
  bytes.insert(bytes.end(), unit.begin(), unit.end());
  return bytes;
}

// What the service must emit, read independently of its own walk.
std::vector<Bytes> expectedUnits(const velmora::EncodedSample& sample, bool isKeyframe) {
  std::vector<Bytes> units;
  if (isKeyframe && sample.formatDescription) {
    for (std::size_t index = 0; index < 3; ++index) {
      const auto parameterSet = sample.formatDescription->parameterSetAt(index);
      if (parameterSet && !parameterSet->empty()) {
        units.push_back(withStartCode(*parameterSet));
      }
    }
  }
  std::span<const std::uint8_t> rest = *sample.data;
  while (rest.size() > 4) {
    const std::uint64_t length =
        std::uint64_t{rest[0]} << 24 | std::uint64_t{rest[1]} << 16 | std::uint64_t{rest[2]} << 8 | rest[3];
    if (length == 0 || length + 4 > rest.size()) {
      break;
    }
    units.push_back(withStartCode(rest.subspan(4, length)));
    rest = rest.subspan(4 + length);
  }
  return units;
}

struct Expectation {
  std::vector<Bytes> units;
  bool isKeyframe = false;
  std::uint64_t timestamp = 0;
  bool present = false;
};

void fail() { std::abort(); }

void emitSample(FuzzedDataProvider& data, velmora::testing::FakeEncoderSessions& sessions, Expectation& expected) {
  velmora::EncodedSample sample;
  const int attachments = data.ConsumeIntegralInRange(0, 4);  // none, empty, NotSync true, NotSync false, no entry
  switch (attachments) {
    case 0: break;
    case 1: sample.attachments.emplace(); break;
    case 2: sample.attachments.emplace(1, velmora::SampleAttachment{true}); break;
    case 3: sample.attachments.emplace(1, velmora::SampleAttachment{false}); break;
    default: sample.attachments.emplace(1); break;
  }
  const bool isKeyframe = attachments >= 3;
  sample.presentationTime = presentationTime(data);
  std::vector<Bytes> parameterSets(3);
  if (data.ConsumeBool()) {
    velmora::EncodedFormatDescription description;
    for (Bytes& parameterSet : parameterSets) {
      if (data.ConsumeBool()) {
        parameterSet = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange(0, 255));
        description.parameterSets.emplace_back(std::span<const std::uint8_t>(parameterSet));
      } else {
        description.parameterSets.emplace_back(std::nullopt);
      }
    }
    sample.formatDescription = std::move(description);
  }
  const bool hasData = data.ConsumeBool();
  const Bytes payload = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegral<std::uint16_t>());
  if (hasData) {
    sample.data = std::span<const std::uint8_t>(payload);
  }
  const double microseconds = sample.presentationTime * 1e6;
  expected.present = sample.data && !sample.data->empty() && microseconds >= 0 && microseconds < 0x1p64;
  if (expected.present) {
    expected.units = expectedUnits(sample, isKeyframe);
    expected.isKeyframe = isKeyframe;
    expected.timestamp = static_cast<std::uint64_t>(microseconds);
  }
  if (sessions.emit(sample) && expected.present) {
    fail();  // a valid frame was not delivered
  }
  expected.present = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Above every level: the lines are checked by the unit tests, and printing them slows fuzzing.
  velmora::log::setMinimumLevel(static_cast<velmora::log::Level>(static_cast<int>(velmora::log::Level::error) + 1));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  velmora::testing::FakeEncoderSessions sessions;
  velmora::VideoEncoderService service(1, sessions.factory());
  std::uint32_t nextFrameID = 0;
  Expectation expected;
  service.onEncodedNALUnits = [&](std::vector<velmora::NALUnit> units, const velmora::VideoFrameMetadata& metadata) {
    if (!expected.present || units != expected.units || metadata.isKeyframe != expected.isKeyframe ||
        metadata.frameID != nextFrameID++ || metadata.presentationTimestamp != expected.timestamp ||
        metadata.displayID != 1) {
      fail();
    }
    std::uint64_t total = 0;
    for (const auto& unit : units) {
      if (unit.size() < 4 || unit[0] != 0 || unit[1] != 0 || unit[2] != 0 || unit[3] != 1) {
        fail();
      }
      total += unit.size();
    }
    if (total != metadata.encodedSize) {
      fail();
    }
    expected.present = false;
  };
  service.configure(64, 64, 1'000'000, 30);

  while (data.remaining_bytes() > 0) {
    switch (data.ConsumeIntegralInRange(0, 5)) {
      case 0: emitSample(data, sessions, expected); break;
      case 1: sessions.emit(data.ConsumeBool() ? velmora::kEncoderStatusEncodeFailed : velmora::kEncoderStatusOK, nullptr); break;
      case 2: service.requestKeyframe(); break;
      case 3:
        if (data.ConsumeBool()) {
          sessions.failNextCreation(velmora::kEncoderStatusEncoderUnavailable);
        }
        service.configure(64, 64, 1'000'000, 30);
        break;
      case 4: service.encode(velmora::SampleBuffer{std::make_shared<velmora::PixelBuffer>(16, 16), presentationTime(data), true}); break;
      default:
        nextFrameID = 0xFFFFFFFFu - data.ConsumeIntegralInRange(0u, 3u);
        service.setNextFrameIDForTesting(nextFrameID);
        break;
    }
  }
  return 0;
}
