#include "protocol/frame_fragmenter.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "protocol/frame_packet_header.h"

namespace velmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes countingBytes(std::size_t size, std::uint8_t start = 0) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), start);
  return bytes;
}

std::vector<Bytes> cutIntoDatagrams(const VideoFrameMetadata& metadata, const std::vector<Bytes>& nalUnits) {
  std::vector<Bytes> datagrams;
  const FragmentationResult result =
      FrameFragmenter::cut(metadata, nalUnits, [&](auto piece) { datagrams.emplace_back(piece.begin(), piece.end()); });
  EXPECT_TRUE(result) << result.error;
  EXPECT_EQ(result.datagramCount, datagrams.size());
  return datagrams;
}

TEST(FrameFragmenterTest, CutsAtFourteenHundredBytesIntoAtMost65535Fragments) {
  EXPECT_EQ(FrameFragmenter::fragmentCount(65535 * 1400), 65535);
  EXPECT_FALSE(FrameFragmenter::fragmentCount(65535 * 1400 + 1));
  const struct {
    std::size_t payloadSize;
    std::vector<std::size_t> datagramSizes;
  } cases[] = {
      {0, {16}}, {1, {17}}, {1400, {1416}}, {1401, {1416, 17}}, {2800, {1416, 1416}}, {3000, {1416, 1416, 216}},
  };
  const VideoFrameMetadata metadata{77, 0, true, 0, 3};
  for (const auto& [payloadSize, datagramSizes] : cases) {
    const auto datagrams = cutIntoDatagrams(metadata, {countingBytes(payloadSize)});

    ASSERT_EQ(datagrams.size(), datagramSizes.size()) << payloadSize;
    for (std::size_t index = 0; index < datagrams.size(); ++index) {
      EXPECT_EQ(datagrams[index].size(), datagramSizes[index]);
      const auto count = static_cast<std::uint16_t>(datagramSizes.size());
      EXPECT_EQ(FramePacketHeader::deserialize(datagrams[index]),
                FramePacketHeader(77, static_cast<std::uint16_t>(index), count,
                                  static_cast<std::uint32_t>(payloadSize), true, 3));
    }
  }
}

TEST(FrameFragmenterTest, PayloadIsTheNalUnitsEndToEndAndLayOutWritesTheSameDatagrams) {
  const std::vector<Bytes> nalUnits = {countingBytes(30, 1), {}, countingBytes(1390, 50), countingBytes(1500, 9)};
  const VideoFrameMetadata metadata{0xA0B0C0D0, 0, true, 0, 2};
  Bytes expected;
  for (const Bytes& unit : nalUnits) {
    expected.insert(expected.end(), unit.begin(), unit.end());
  }
  Bytes payload;
  Bytes datagrams;
  for (const Bytes& datagram : cutIntoDatagrams(metadata, nalUnits)) {
    payload.insert(payload.end(), datagram.begin() + 16, datagram.end());
    datagrams.insert(datagrams.end(), datagram.begin(), datagram.end());
  }
  Bytes train(10'000, 0xEE);  // larger than the frame, so that a stale tail would show

  const FragmentationResult result = FrameFragmenter::layOut(metadata, nalUnits, train);

  EXPECT_EQ(payload, expected);
  ASSERT_TRUE(result) << result.error;
  EXPECT_EQ(train, datagrams);
  EXPECT_EQ(result.datagramCount, 3u);
}

TEST(FramePacketHeaderTest, BigEndianFieldsInOrderAndOnlyTheKeyframeFlagBit) {
  const Bytes bytes = {0x01, 0x02, 0x03, 0x04, 0x00, 0x02, 0x00, 0x05, 0x00,
                       0x00, 0x17, 0x70, 0x00, 0x01, 0x00, 0x07, 0xAA};
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
