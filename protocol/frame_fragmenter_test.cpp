#include "protocol/frame_fragmenter.h"

#include <gtest/gtest.h>

#include <memory>
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
  const FragmentationResult result = FrameFragmenter::cut(
      metadata, nalUnits, [&](std::span<const std::uint8_t> datagram) { datagrams.emplace_back(datagram.begin(), datagram.end()); });
  EXPECT_TRUE(result) << result.error;
  EXPECT_EQ(result.datagramCount, datagrams.size());
  return datagrams;
}

TEST(FrameFragmenterTest, CutsAtFourteenHundredBytes) {
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

TEST(FrameFragmenterTest, PayloadIsTheNalUnitsEndToEndAcrossFragmentBoundaries) {
  const std::vector<Bytes> nalUnits = {countingBytes(30, 1), {}, countingBytes(1390, 50), countingBytes(1500, 9),
                                       countingBytes(4, 200)};
  Bytes expected;
  for (const Bytes& unit : nalUnits) {
    expected.insert(expected.end(), unit.begin(), unit.end());
  }

  Bytes payload;
  for (const Bytes& datagram : cutIntoDatagrams(VideoFrameMetadata{1, 0, false, 999, 0}, nalUnits)) {
    payload.insert(payload.end(), datagram.begin() + 16, datagram.end());
  }

  EXPECT_EQ(payload, expected);
  EXPECT_EQ(payload.size(), 2924u);
}

TEST(FrameFragmenterTest, LayOutWritesTheCutDatagramsBackToBack) {
  const std::vector<std::vector<Bytes>> frames = {
      {}, {countingBytes(1400)}, {countingBytes(30, 1), {}, countingBytes(1390, 50), countingBytes(1500, 9)}, {countingBytes(3000)}};
  const VideoFrameMetadata metadata{0xA0B0C0D0, 0, true, 0, 2};
  // Starts larger than any frame here, so a stale tail would show.
  Bytes train(10'000, 0xEE);
  for (const auto& nalUnits : frames) {
    Bytes expected;
    for (const Bytes& datagram : cutIntoDatagrams(metadata, nalUnits)) {
      expected.insert(expected.end(), datagram.begin(), datagram.end());
    }

    const FragmentationResult result = FrameFragmenter::layOut(metadata, nalUnits, train);

    ASSERT_TRUE(result) << result.error;
    EXPECT_EQ(train, expected);
    EXPECT_EQ(result.datagramCount, (expected.size() + FrameFragmenter::maxDatagramSize - 1) / FrameFragmenter::maxDatagramSize);
  }
}

TEST(FrameFragmenterTest, RefusesFramesNeedingMoreThan65535Fragments) {
  constexpr std::size_t largest = 65535 * 1400;
  EXPECT_EQ(FrameFragmenter::fragmentCount(largest), 65535);
  EXPECT_FALSE(FrameFragmenter::fragmentCount(largest + 1));

  // Never read: the refusal comes before any byte is cut.
  const auto tooLarge = std::make_unique_for_overwrite<std::uint8_t[]>(largest + 1);
  std::size_t datagrams = 0;
  const FragmentationResult result =
      FrameFragmenter::cut(VideoFrameMetadata{}, std::span<const std::uint8_t>(tooLarge.get(), largest + 1),
                           [&](std::span<const std::uint8_t>) { ++datagrams; });

  EXPECT_FALSE(result);
  EXPECT_FALSE(result.error.empty());
  EXPECT_EQ(datagrams, 0u);
}

}  // namespace
}  // namespace velmora
