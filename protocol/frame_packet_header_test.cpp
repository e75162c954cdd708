#include "protocol/frame_packet_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(FramePacketHeaderTest, SerializesBigEndianFieldsInOrder) {
  const FramePacketHeader header(0x01020304, 2, 5, 6000, true, 7);

  const auto bytes = header.serialize();

  EXPECT_EQ(Bytes(bytes.begin(), bytes.end()),
            (Bytes{0x01, 0x02, 0x03, 0x04, 0x00, 0x02, 0x00, 0x05, 0x00, 0x00, 0x17, 0x70, 0x00, 0x01, 0x00, 0x07}));
}

TEST(FramePacketHeaderTest, DeserializeNeedsSixteenBytesAndReadsOnlyThose) {
  const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x00, 0x02, 0x00, 0x05, 0x00, 0x00,
                       0x17, 0x70, 0x00, 0x01, 0x00, 0x07, 0xAA, 0xBB, 0xCC, 0xDD};

  EXPECT_FALSE(FramePacketHeader::deserialize(std::span(bytes).first(15)));
  EXPECT_EQ(FramePacketHeader::deserialize(bytes), FramePacketHeader(0x01020304, 2, 5, 6000, true, 7));
}

TEST(FramePacketHeaderTest, OnlyTheKeyframeBitOfTheFlagsIsKept) {
  Bytes bytes(16, 0);
  bytes[12] = 0xFF;
  bytes[13] = 0xFE;
  const auto plain = FramePacketHeader::deserialize(bytes);
  bytes[13] = 0x01;
  const auto keyframe = FramePacketHeader::deserialize(bytes);

  ASSERT_TRUE(plain && keyframe);
  EXPECT_FALSE(plain->isKeyframe());
  EXPECT_EQ(plain->flags, 0);
  EXPECT_TRUE(keyframe->isKeyframe());
  EXPECT_EQ(keyframe->flags, 1);
}

TEST(FramePacketHeaderTest, RoundTripsExtremeValues) {
  for (const FramePacketHeader& header : {FramePacketHeader(0, 0, 1, 0, false, 0),
                                          FramePacketHeader(0xFFFFFFFF, 65534, 65535, 0xFFFFFFFF, true, 65535),
                                          FramePacketHeader(0x80000000, 0x8000, 0x8001, 0x80000000, false, 0x8000)}) {
    const auto bytes = header.serialize();
    EXPECT_EQ(FramePacketHeader::deserialize(bytes), header);
  }
}

}  // namespace
}  // namespace velmora
