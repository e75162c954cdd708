#include "protocol/frame_packet_header.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(FramePacketHeaderTest, BigEndianFieldsInOrderAndOnlyTheKeyframeFlagBit) {
  const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x00, 0x02, 0x00, 0x05, 0x00, 0x00, 0x17, 0x70, 0x00, 0x01, 0x00, 0x07, 0xAA};
  const FramePacketHeader header(0x01020304, 2, 5, 6000, true, 7);

  const auto serialized = header.serialize();
  EXPECT_EQ(Bytes(serialized.begin(), serialized.end()), Bytes(bytes.begin(), bytes.end() - 1));
  EXPECT_EQ(FramePacketHeader::deserialize(bytes), header) << "bytes past the header are not read";
  EXPECT_FALSE(FramePacketHeader::deserialize(std::span(bytes).first(15)));

  Bytes flags(16, 0);
  flags[12] = 0xFF;
  flags[13] = 0xFE;
  EXPECT_EQ(FramePacketHeader::deserialize(flags)->flags, 0);
  flags[13] = 0x01;
  EXPECT_TRUE(FramePacketHeader::deserialize(flags)->isKeyframe());
  const FramePacketHeader extreme(0xFFFFFFFF, 65534, 65535, 0xFFFFFFFF, true, 65535);
  EXPECT_EQ(FramePacketHeader::deserialize(extreme.serialize()), extreme);
}

}  // namespace
}  // namespace velmora
