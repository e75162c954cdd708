#include "protocol/video_frame_metadata.h"

#include "protocol/json_object_reader.h"

namespace velmora {

Json VideoFrameMetadata::toJson() const {
  return {{"frameID", frameID},
          {"presentationTimestamp", presentationTimestamp},
          {"isKeyframe", isKeyframe},
          {"encodedSize", encodedSize},
          {"displayID", displayID}};
}

VideoFrameMetadata VideoFrameMetadata::fromJson(const Json& json) {
  const JsonObjectReader reader(json, {});
  return VideoFrameMetadata{
      .frameID = reader.integer<std::uint32_t>("frameID"),
      .presentationTimestamp = reader.integer<std::uint64_t>("presentationTimestamp"),
      .isKeyframe = reader.boolean("isKeyframe"),
      .encodedSize = reader.integer<std::uint32_t>("encodedSize"),
      .displayID = reader.integer<std::uint16_t>("displayID"),
  };
}

}  // namespace velmora
