// The client's handling of hostile video datagrams: reassembly, keyframe gating, HEVC decoding
// and stamp reading. Input byte 0, bit 0 clear: the rest is datagrams, each a 2-byte big-endian
// length and its bytes. Bit 0 set: the rest is frames in the same form, each sent behind a start
// code as an honestly cut frame (a keyframe when bit 1 of byte 0 is set), so that the bytes reach
// the decoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "client/video_datagram_processor.h"
#include "protocol/frame_fragmenter.h"

namespace {

constexpr int kMaxPictureSide = 512;

std::vector<std::span<const std::uint8_t>> lengthPrefixedParts(std::span<const std::uint8_t> input) {
  std::vector<std::span<const std::uint8_t>> parts;
  while (input.size() >= 2) {
    const std::size_t length = std::min<std::size_t>(input.size() - 2, input[0] << 8 | input[1]);
    parts.push_back(input.subspan(2, length));
    input = input.subspan(2 + length);
  }
  return parts;
}

void checkPicture(const velmora::ReceivedPicture& picture) {
  if (picture.width <= 0 || picture.height <= 0 || picture.width > kMaxPictureSide ||
      picture.height > kMaxPictureSide || (picture.luma != nullptr && picture.lumaStride < picture.width)) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  velmora::ReceiveStatisticsRecorder statistics;
  velmora::DisplayStreamSettings settings;
  settings.decoderLimits = {kMaxPictureSide, std::int64_t{kMaxPictureSide} * kMaxPictureSide};
  settings.onPicture = checkPicture;
  velmora::VideoDatagramProcessor processor(2, settings, statistics);

  const auto parts = lengthPrefixedParts(std::span<const std::uint8_t>(data + 1, size - 1));
  if ((data[0] & 1) == 0) {
    for (const auto datagram : parts) {
      processor.handle(datagram);
    }
  } else {
    std::uint32_t frameID = 0;
    for (const auto part : parts) {
      std::vector<std::uint8_t> frame{0, 0, 0, 1};
      frame.insert(frame.end(), part.begin(), part.end());
      const bool isKeyframe = (data[0] & 2) != 0 || frameID == 0;
      velmora::FrameFragmenter::cut(velmora::VideoFrameMetadata{frameID++, 0, isKeyframe, 0, 0}, frame,
                                    [&](std::span<const std::uint8_t> datagram) { processor.handle(datagram); });
    }
  }

  for (const auto& display : statistics.snapshot().displays) {
    if (display.framesSkippedAwaitingKeyframe > display.framesCompleted || display.keyframes > display.framesCompleted) {
      std::abort();
    }
  }
  return 0;
}
