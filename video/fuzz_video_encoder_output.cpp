// VideoEncoderService's output path against arbitrary encoder output through the fake session: samples
// with any attachments, parameter sets, NAL units and times, among encoder errors, keyframe requests,
// reconfigurations (some failing), captured frames and frame numbers near the 32-bit wrap. Every unit
// that comes out must carry a start code, and the frame's size must be theirs.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "platform/testing/fake_encoder_backend.h"
#include "video/video_encoder_service.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

velmora::SampleBuffer captured(FuzzedDataProvider& data) {
  const double presentationTime = data.ConsumeFloatingPoint<double>();
  return velmora::SampleBuffer{std::make_shared<velmora::PixelBuffer>(16, 16), presentationTime, true, {}};
}

void emitSample(FuzzedDataProvider& data, const velmora::testing::FakeEncoderSessions& sessions) {
  velmora::EncodedSample sample;
  if (data.ConsumeBool()) {
    sample.attachments.emplace(data.ConsumeIntegralInRange(0, 2), velmora::SampleAttachment{});
    for (velmora::SampleAttachment& attachment : *sample.attachments) {
      attachment.notSync = data.ConsumeBool() ? std::optional(data.ConsumeBool()) : std::nullopt;
    }
  }
  sample.presentationTime = data.ConsumeFloatingPoint<double>();
  Bytes parameterSets[3];
  if (data.ConsumeBool()) {
    sample.formatDescription.emplace();
    for (Bytes& parameterSet : parameterSets) {
      parameterSet = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegralInRange(0, 255));
      using Set = std::optional<std::span<const std::uint8_t>>;  // an absent one keeps the stored set
      sample.formatDescription->parameterSets.push_back(data.ConsumeBool() ? Set(parameterSet) : std::nullopt);
    }
  }
  std::vector<Bytes> units(data.ConsumeIntegralInRange(0, 4));
  for (Bytes& unit : units) {
    unit = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegral<std::uint16_t>());
    if (data.ConsumeBool()) {
      unit.insert(unit.begin(), {0, 0, 0, 1});
    }
    sample.nalUnits.emplace_back(unit);
  }
  sessions.emit(sample);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Above every level: printing the lines slows fuzzing.
  velmora::log::setMinimumLevel(static_cast<velmora::log::Level>(static_cast<int>(velmora::log::Level::error) + 1));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  velmora::testing::FakeEncoderSessions sessions;
  velmora::VideoEncoderService service(1, sessions.factory());
  service.onEncodedNALUnits = [](std::vector<velmora::NALUnit> units, const velmora::VideoFrameMetadata& metadata) {
    std::uint64_t total = 0;
    for (const auto& unit : units) {
      if (unit.size() < 4 || unit[0] != 0 || unit[1] != 0 || unit[2] != 0 || unit[3] != 1) {
        std::abort();
      }
      total += unit.size();
    }
    if (total != metadata.encodedSize || metadata.displayID != 1) {
      std::abort();
    }
  };
  service.configure(64, 64, 1'000'000, 30);
  while (data.remaining_bytes() > 0) {
    switch (data.ConsumeIntegralInRange(0, 5)) {
      case 0: emitSample(data, sessions); break;
      case 1: sessions.emit(velmora::kEncoderStatusEncodeFailed, nullptr); break;
      case 2: service.requestKeyframe(); break;
      case 3:
        if (data.ConsumeBool()) {
          sessions.failNextCreation(velmora::kEncoderStatusEncoderUnavailable);
        }
        service.configure(64, 64, 1'000'000, 30);
        break;
      case 4: service.encode(captured(data)); break;
      default: service.setNextFrameIDForTesting(0xFFFFFFFFu - data.ConsumeIntegralInRange(0u, 3u)); break;
    }
  }
  return 0;
}
