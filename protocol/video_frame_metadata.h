#pragma once

#include <cstdint>

#include "protocol/decoding_error.h"
#include "protocol/json.h"

namespace velmora {

// What the encoder knows about one encoded frame; travels in memory beside its NAL units.
struct VideoFrameMetadata {
  std::uint32_t frameID = 0;
  std::uint64_t presentationTimestamp = 0;  // microseconds
  bool isKeyframe = false;
  std::uint32_t encodedSize = 0;  // bytes of all NAL units, start codes included
  std::uint16_t displayID = 0;    // stream number, not the system display number

  Json toJson() const;
  // Throws DecodingError.
  static VideoFrameMetadata fromJson(const Json& json);

  bool operator==(const VideoFrameMetadata&) const = default;
};

}  // namespace velmora
