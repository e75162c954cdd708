#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/velmora_constants.h"
#include "protocol/video_frame_metadata.h"

namespace velmora {

struct FragmentationResult {
  std::uint32_t datagramCount = 0;
  std::string error;  // empty when the frame was cut

  explicit operator bool() const { return error.empty(); }
};

// Cuts one encoded frame into datagrams of a header and up to 1400 payload bytes. The payload is
// the NAL units laid end to end, so one fragment may hold the end of one unit and the start of the
// next. Each payload byte is copied once, into a datagram-sized buffer handed to the sink.
class FrameFragmenter {
 public:
  static constexpr std::size_t maxDatagramSize =
      VelmoraConstants::framePacketHeaderSize + VelmoraConstants::maxFragmentPayloadSize;
  static constexpr std::uint32_t maxFragmentCount = 65535;  // the header's 16-bit count

  // Called once per datagram in fragment order; the bytes are valid only during the call.
  using DatagramSink = std::function<void(std::span<const std::uint8_t> datagram)>;

  // Nothing when a payload of this many bytes would need more than 65535 fragments.
  static std::optional<std::uint16_t> fragmentCount(std::uint64_t payloadSize);

  // A frame that needs more than 65535 fragments is refused with an error before anything is cut.
  // The header's totalSize is the payload length found here; metadata.encodedSize is not used.
  static FragmentationResult cut(const VideoFrameMetadata& metadata,
                                 std::span<const std::vector<std::uint8_t>> nalUnits, const DatagramSink& sink);
  static FragmentationResult cut(const VideoFrameMetadata& metadata, std::span<const std::uint8_t> payload,
                                 const DatagramSink& sink);

  // The same datagrams written back to back into `train` (resized to fit, its capacity reused):
  // datagram i starts at i * maxDatagramSize, and only the last one may be shorter. This is the
  // layout a sender needs to hand the kernel many datagrams, or one segmented buffer, per call.
  // A refused frame leaves `train` empty.
  static FragmentationResult layOut(const VideoFrameMetadata& metadata,
                                    std::span<const std::vector<std::uint8_t>> nalUnits,
                                    std::vector<std::uint8_t>& train);
};

}  // namespace velmora
