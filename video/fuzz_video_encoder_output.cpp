// VideoEncoderService's output path against arbitrary encoder output, through the fake session.
// The input is a list of operations, each an opcode byte and its operands:
//   0 sample: flags (bits 0-2 attachments: 0 none, 1 empty, 3 NotSync true, 4 false, else no entry;
//     bit 3 format description present; bits 4-6 which of VPS, SPS, PPS it holds; bit 7 no
//     data buffer), a time selector byte, then per present parameter set a length byte and its
//     bytes, then a 2-byte big-endian data length and the data;
//   1 an encoder error or an output without sample; 2 keyframe request; 3 configure (operand odd:
//   creation fails); 4 a captured frame (time selector); 5 frame number near the 32-bit wrap.
// Every frame that comes out is checked against an independent reading of what went in.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "platform/testing/fake_encoder_backend.h"
#include "video/video_encoder_service.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class Input {
 public:
  explicit Input(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool empty() const { return bytes_.empty(); }
  std::uint8_t byte() {
    if (bytes_.empty()) {
      return 0;
    }
    const std::uint8_t value = bytes_[0];
    bytes_ = bytes_.subspan(1);
    return value;
  }
  Bytes take(std::size_t count) {
    count = std::min(count, bytes_.size());
    Bytes taken(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(count));
    bytes_ = bytes_.subspan(count);
    return taken;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

double presentationTime(Input& input) {
  const std::uint8_t selector = input.byte();
  switch (selector % 8) {
    case 0: return std::nan("");
    case 1: return std::numeric_limits<double>::infinity();
    case 2: return -1.0 * selector;
    case 3: return 1.5;
    case 4: return 2e13;
    case 5: {
      Bytes raw = input.take(8);
      raw.resize(sizeof(double));
      double value = 0;
      std::memcpy(&value, raw.data(), sizeof value);
      return value;
    }
    default: return selector / 7.0;
  }
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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Above every level: the lines are checked by the unit tests, and printing them slows fuzzing.
  velmora::log::setMinimumLevel(static_cast<velmora::log::Level>(static_cast<int>(velmora::log::Level::error) + 1));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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

  Input input(std::span(data, size));
  while (!input.empty()) {
    switch (input.byte() % 6) {
      case 0: {
        const std::uint8_t flags = input.byte();
        velmora::EncodedSample sample;
        switch (flags & 7) {
          case 0: break;
          case 1: sample.attachments.emplace(); break;
          case 3: sample.attachments.emplace(1, velmora::SampleAttachment{true}); break;
          case 4: sample.attachments.emplace(1, velmora::SampleAttachment{false}); break;
          default: sample.attachments.emplace(1); break;
        }
        const bool isKeyframe = (flags & 7) >= 2 && (flags & 7) != 3;
        sample.presentationTime = presentationTime(input);
        std::vector<Bytes> parameterSets(3);
        if ((flags & 8) != 0) {
          velmora::EncodedFormatDescription description;
          for (std::size_t index = 0; index < 3; ++index) {
            if ((flags >> (4 + index) & 1) != 0) {
              parameterSets[index] = input.take(input.byte());
              description.parameterSets.emplace_back(std::span<const std::uint8_t>(parameterSets[index]));
            } else {
              description.parameterSets.emplace_back(std::nullopt);
            }
          }
          sample.formatDescription = std::move(description);
        }
        const std::size_t length = std::size_t{input.byte()} << 8 | input.byte();
        const Bytes payload = input.take(length);
        if ((flags & 0x80) == 0) {
          sample.data = std::span<const std::uint8_t>(payload);
        }
        const double microseconds = sample.presentationTime * 1e6;
        expected.present = sample.data && !sample.data->empty() && microseconds >= 0 && microseconds < 0x1p64;
        if (expected.present) {
          expected.units = expectedUnits(sample, isKeyframe);
          expected.isKeyframe = isKeyframe;
          expected.timestamp = static_cast<std::uint64_t>(microseconds);
        }
        const bool emitted = sessions.emit(sample);
        if (expected.present && emitted) {
          fail();  // a valid frame was not delivered
        }
        expected.present = false;
        break;
      }
      case 1:
        sessions.emit(input.byte() % 2 == 0 ? velmora::kEncoderStatusEncodeFailed : velmora::kEncoderStatusOK,
                      nullptr);
        break;
      case 2: service.requestKeyframe(); break;
      case 3:
        if (input.byte() % 2 != 0) {
          sessions.failNextCreation(velmora::kEncoderStatusEncoderUnavailable);
        }
        service.configure(64, 64, 1'000'000, 30);
        break;
      case 4: {
        const double time = presentationTime(input);
        service.encode(velmora::SampleBuffer{std::make_shared<velmora::PixelBuffer>(16, 16), time, true});
        break;
      }
      default: {
        nextFrameID = 0xFFFFFFFFu - input.byte() % 4;
        service.setNextFrameIDForTesting(nextFrameID);
        break;
      }
    }
  }
  return 0;
}
