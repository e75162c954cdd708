#include "protocol/frame_reassembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "protocol/frame_fragmenter.h"
#include "protocol/frame_packet_header.h"

namespace velmora {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frameBytes(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), seed);
  return bytes;
}

std::vector<Bytes> datagramsOf(std::uint32_t frameID, const Bytes& payload, std::uint16_t displayID = 0,
                               bool isKeyframe = false) {
  std::vector<Bytes> datagrams;
  FrameFragmenter::cut(VideoFrameMetadata{frameID, 0, isKeyframe, 0, displayID}, std::span<const std::uint8_t>(payload),
                       [&](std::span<const std::uint8_t> datagram) { datagrams.emplace_back(datagram.begin(), datagram.end()); });
  return datagrams;
}

Bytes datagram(const FramePacketHeader& header, std::size_t payloadSize) {
  const auto headerBytes = header.serialize();
  Bytes bytes(headerBytes.begin(), headerBytes.end());
  bytes.resize(16 + payloadSize, 0xAB);
  return bytes;
}

// Feeds the datagrams and returns the frames they completed, as (frameID, payload).
std::vector<std::pair<std::uint32_t, Bytes>> feed(FrameReassembler& reassembler, const std::vector<Bytes>& datagrams) {
  std::vector<std::pair<std::uint32_t, Bytes>> frames;
  for (const Bytes& bytes : datagrams) {
    if (auto frame = reassembler.accept(bytes)) {
      frames.emplace_back(frame->frameID, Bytes(frame->payload().begin(), frame->payload().end()));
    }
  }
  return frames;
}

TEST(FrameReassemblerTest, DeliversFramesWithTheirHeaderFields) {
  FrameReassembler reassembler;
  const Bytes payload = frameBytes(3000, 5);
  std::optional<ReassembledFrame> frame;

  for (const Bytes& bytes : datagramsOf(42, payload, 3, true)) {
    ASSERT_FALSE(frame);
    frame = reassembler.accept(bytes);
  }

  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->frameID, 42u);
  EXPECT_EQ(frame->displayID, 3);
  EXPECT_TRUE(frame->isKeyframe);
  EXPECT_EQ(Bytes(frame->payload().begin(), frame->payload().end()), payload);
  EXPECT_EQ(reassembler.statistics().framesCompleted, 1u);
  EXPECT_EQ(reassembler.framesInFlight(), 0u);
  EXPECT_TRUE(reassembler.accept(datagram(FramePacketHeader(43, 0, 1, 0, false, 3), 0))->payload().empty());
}

TEST(FrameReassemblerTest, ShuffledAndDuplicatedFragmentsGiveOneFrame) {
  FrameReassembler reassembler;
  const Bytes payload = frameBytes(20 * 1400 + 7, 1);
  std::vector<Bytes> datagrams = datagramsOf(7, payload);
  datagrams.insert(datagrams.end(), datagrams.begin(), datagrams.begin() + 5);
  std::shuffle(datagrams.begin(), datagrams.end(), std::mt19937(12345));
  datagrams.push_back(datagrams.front());  // after completion: a late duplicate of a delivered frame

  const auto frames = feed(reassembler, datagrams);

  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].second, payload);
  EXPECT_EQ(reassembler.statistics().duplicateDatagrams, 6u);
}

TEST(FrameReassemblerTest, LostFragmentDropsItsFrameOnceANewerOneCompletes) {
  FrameReassembler reassembler;
  std::vector<Bytes> first = datagramsOf(1, frameBytes(4000, 1));
  first.erase(first.begin() + 1);
  std::vector<Bytes> datagrams = first;
  for (const Bytes& bytes : datagramsOf(2, frameBytes(4000, 2))) {
    datagrams.push_back(bytes);
  }
  datagrams.push_back(datagramsOf(1, frameBytes(4000, 1))[1]);  // the lost one, too late

  const auto frames = feed(reassembler, datagrams);

  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].first, 2u);
  EXPECT_EQ(reassembler.statistics().incompleteFramesDropped, 1u);
  EXPECT_EQ(reassembler.statistics().lateDatagrams, 1u);
  EXPECT_EQ(reassembler.framesInFlight(), 0u);
}

TEST(FrameReassemblerTest, HostileDatagramsAreCountedAndDropped) {
  const std::vector<Bytes> hostile = {
      Bytes(15, 0),                                                 // shorter than a header
      datagram(FramePacketHeader(1, 0, 0, 0, false, 0), 0),         // no fragments
      datagram(FramePacketHeader(1, 3, 3, 3000, false, 0), 200),    // index not below count
      datagram(FramePacketHeader(1, 0, 2, 1400, false, 0), 1400),   // size fits one fragment
      datagram(FramePacketHeader(1, 0, 2, 2801, false, 0), 1400),   // size needs three
      datagram(FramePacketHeader(1, 0, 1, 0, false, 0), 1),         // empty frame with bytes
      datagram(FramePacketHeader(1, 0, 2, 2000, false, 0), 1399),   // short middle fragment
      datagram(FramePacketHeader(1, 1, 2, 2000, false, 0), 601),    // long last fragment
      datagram(FramePacketHeader(1, 0, 65535, 0xFFFFFFFF, false, 0), 1400),
  };
  FrameReassembler reassembler;

  EXPECT_TRUE(feed(reassembler, hostile).empty());
  EXPECT_EQ(reassembler.statistics().invalidDatagrams, hostile.size());
  EXPECT_EQ(reassembler.framesInFlight(), 0u);
}

TEST(FrameReassemblerTest, FragmentsContradictingTheirFrameAreRefused) {
  FrameReassembler reassembler;
  const Bytes payload = frameBytes(4000, 9);
  const std::vector<Bytes> honest = datagramsOf(5, payload, 0, true);
  const std::vector<Bytes> datagrams = {
      honest[0],
      datagram(FramePacketHeader(5, 1, 4, 5000, true, 0), 1400),   // other count and size
      datagram(FramePacketHeader(5, 1, 3, 3500, true, 0), 1400),   // other size
      datagram(FramePacketHeader(5, 1, 3, 4000, false, 0), 1400),  // other flags
      honest[1],
      honest[2],
  };

  const auto frames = feed(reassembler, datagrams);

  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].second, payload);
  EXPECT_EQ(reassembler.statistics().invalidDatagrams, 3u);
}

TEST(FrameReassemblerTest, IncompleteFramesAreBoundedPerDisplayAndAcrossDisplays) {
  FrameReassembler reassembler(4, 3);

  for (std::uint32_t frameID = 0; frameID < 100; ++frameID) {
    const std::uint16_t count = frameID % 10 == 0 ? 65535 : 3;  // the largest frames a header can declare, too
    reassembler.accept(datagram(FramePacketHeader(frameID, 0, count, count * 1400u, false, 0), 1400));
    ASSERT_LE(reassembler.framesInFlight(), 4u);
  }
  for (std::uint16_t displayID = 1; displayID < 50; ++displayID) {
    for (std::uint32_t frameID = 0; frameID < 6; ++frameID) {
      reassembler.accept(datagram(FramePacketHeader(frameID, 0, 3, 3000, false, displayID), 1400));
    }
    ASSERT_LE(reassembler.framesInFlight(), 12u);
  }
  EXPECT_EQ(reassembler.statistics().incompleteFramesDropped, 100u + 49u * 6u - reassembler.framesInFlight());
}

TEST(FrameReassemblerTest, LateFirstFragmentDoesNotEvictNewerFrames) {
  FrameReassembler reassembler(2);
  reassembler.accept(datagram(FramePacketHeader(10, 0, 2, 2000, false, 0), 1400));
  reassembler.accept(datagram(FramePacketHeader(11, 0, 2, 2000, false, 0), 1400));

  reassembler.accept(datagram(FramePacketHeader(9, 0, 2, 2000, false, 0), 1400));
  const auto frame = reassembler.accept(datagram(FramePacketHeader(10, 1, 2, 2000, false, 0), 600));

  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->frameID, 10u);
  EXPECT_EQ(reassembler.statistics().lateDatagrams, 1u);
}

TEST(FrameReassemblerTest, FrameIDsWrapAround) {
  FrameReassembler reassembler;
  std::vector<Bytes> datagrams;
  for (const std::uint32_t frameID : {0xFFFFFFFDu, 0xFFFFFFFEu, 0u, 1u}) {
    const auto frameDatagrams = datagramsOf(frameID, frameBytes(2000, static_cast<std::uint8_t>(frameID)));
    datagrams.insert(datagrams.end(), frameDatagrams.begin(), frameDatagrams.end());
  }
  datagrams.push_back(datagramsOf(0xFFFFFFFFu, frameBytes(2500, 0))[0]);  // older than frame 1: too late

  const auto frames = feed(reassembler, datagrams);

  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].first, 0xFFFFFFFDu);
  EXPECT_EQ(frames[3].first, 1u);
  EXPECT_EQ(reassembler.statistics().lateDatagrams, 1u);
  EXPECT_EQ(reassembler.framesInFlight(), 0u);
}

TEST(FrameReassemblerTest, SenderThatRestartsItsNumberingIsFollowed) {
  FrameReassembler reassembler;
  std::vector<Bytes> datagrams;
  for (std::uint32_t frameID = 0; frameID < 10; ++frameID) {  // a first encoder
    datagrams.push_back(datagramsOf(frameID, frameBytes(100, 1))[0]);
  }
  for (std::uint32_t frameID = 0; frameID < 3; ++frameID) {  // its successor starts again at 0
    datagrams.push_back(datagramsOf(frameID, frameBytes(200 + frameID, 2))[0]);
  }
  datagrams.push_back(datagramsOf(5000, frameBytes(10, 1))[0]);  // a jump far ahead
  datagrams.push_back(datagramsOf(0, frameBytes(300, 3))[0]);    // and back to 0

  const auto frames = feed(reassembler, datagrams);

  ASSERT_EQ(frames.size(), 15u);
  EXPECT_EQ(frames[10].second.size(), 200u);
  EXPECT_EQ(frames[14].second.size(), 300u);
}

}  // namespace
}  // namespace velmora
