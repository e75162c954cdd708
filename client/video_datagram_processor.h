#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "client/display_stream_decoder.h"
#include "client/receive_statistics.h"
#include "protocol/frame_reassembler.h"

namespace velmora {

// Everything that happens to a video datagram once it has been received: reassembly, then the
// frame's display. Kept apart from the socket so that hostile input can be fed to it directly.
// Not thread-safe: one receive loop owns it.
class VideoDatagramProcessor {
 public:
  // Frames of displays beyond `maxDisplays` are counted and dropped, so that a hostile host
  // cannot make the client run a decoder for each of 65536 stream numbers.
  VideoDatagramProcessor(std::size_t maxDisplays, DisplayStreamSettings settings,
                         ReceiveStatisticsRecorder& statistics);
  VideoDatagramProcessor(const VideoDatagramProcessor&) = delete;
  VideoDatagramProcessor& operator=(const VideoDatagramProcessor&) = delete;

  // Whether the datagram was video: false when the reassembler refused it as malformed.
  bool handle(std::span<const std::uint8_t> datagram);

  const FrameReassemblerStatistics& reassemblerStatistics() const { return reassembler_.statistics(); }
  std::uint64_t framesOfIgnoredDisplays() const { return framesOfIgnoredDisplays_; }

 private:
  DisplayStreamDecoder* displayFor(std::uint16_t displayID);

  const std::size_t maxDisplays_;
  const DisplayStreamSettings settings_;  // the display decoders refer to it
  ReceiveStatisticsRecorder& statistics_;
  FrameReassembler reassembler_;
  std::vector<std::pair<std::uint16_t, std::unique_ptr<DisplayStreamDecoder>>> displays_;
  std::uint64_t framesOfIgnoredDisplays_ = 0;
};

}  // namespace velmora
