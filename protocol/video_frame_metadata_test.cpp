#include "protocol/video_frame_metadata.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(VideoFrameMetadataTest, WritesKeysInOrderAndReadsThemBack) {
  const VideoFrameMetadata metadata{4294967295u, 18446744073709551615ull, true, 150000, 2};

  const std::string json = metadata.toJson().dump();

  EXPECT_EQ(json,
            R"({"frameID":4294967295,"presentationTimestamp":18446744073709551615,"isKeyframe":true,)"
            R"("encodedSize":150000,"displayID":2})");
  EXPECT_EQ(VideoFrameMetadata::fromJson(Json::parse(json)), metadata);
}

TEST(VideoFrameMetadataTest, EveryKeyIsRequiredAndRangeChecked) {
  const char* failures[] = {
      R"({"frameID":1,"presentationTimestamp":0,"isKeyframe":false,"encodedSize":1})",
      R"({"frameID":1,"presentationTimestamp":0,"isKeyframe":false,"encodedSize":1,"displayID":65536})",
      R"({"frameID":1,"presentationTimestamp":-1,"isKeyframe":false,"encodedSize":1,"displayID":0})",
      R"({"frameID":1,"presentationTimestamp":0,"isKeyframe":0,"encodedSize":1,"displayID":0})",
  };
  for (const char* json : failures) {
    EXPECT_THROW(VideoFrameMetadata::fromJson(Json::parse(json)), DecodingError) << json;
  }
  EXPECT_EQ(VideoFrameMetadata::fromJson(Json::parse(
                R"({"frameID":1,"presentationTimestamp":5,"isKeyframe":false,"encodedSize":9,"displayID":3,"x":1})")),
            (VideoFrameMetadata{1, 5, false, 9, 3}));
}

}  // namespace
}  // namespace velmora
