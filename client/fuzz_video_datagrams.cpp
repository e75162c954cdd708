// The client's handling of hostile video datagrams: reassembly, keyframe gating, HEVC decoding
// and stamp reading. The input is either raw datagrams or frames, each sent behind a start code as
// an honestly cut frame so that its bytes reach the decoder.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "client/video_datagram_processor.h"
#include "protocol/frame_fragmenter.h"

constexpr int kMaxPictureSide = 512;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  velmora::ReceiveStatisticsRecorder statistics;
  velmora::DisplayStreamSettings settings;
  settings.decoderLimits = {kMaxPictureSide, std::int64_t{kMaxPictureSide} * kMaxPictureSide};
  settings.onPicture = [](const velmora::ReceivedPicture& picture) {
    if (picture.width <= 0 || picture.height <= 0 || picture.width > kMaxPictureSide || picture.height > kMaxPictureSide) {
      std::abort();
    }
  };
  velmora::VideoDatagramProcessor processor(2, settings, statistics);

  const bool asFrames = data.ConsumeBool();
  const bool allKeyframes = data.ConsumeBool();
  for (std::uint32_t frameID = 0; data.remaining_bytes() > 0; ++frameID) {
    std::vector<std::uint8_t> part = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegral<std::uint16_t>());
    if (!asFrames) {
      processor.handle(part);
      continue;
    }
    part.insert(part.begin(), {0, 0, 0, 1});
    velmora::FrameFragmenter::cut(velmora::VideoFrameMetadata{frameID, 0, allKeyframes || frameID == 0, 0, 0}, part,
                                  [&](std::span<const std::uint8_t> datagram) { processor.handle(datagram); });
  }
  return 0;
}
