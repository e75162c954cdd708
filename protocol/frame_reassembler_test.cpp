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

// Counting bytes, so that fragments joined in the wrong order show.
Bytes payloadOf(std::size_t size) {
  Bytes bytes(size);
  std::iota(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(size));
  return bytes;
}

std::vector<Bytes> datagramsOf(std::uint32_t frameID, std::size_t size, std::uint16_t displayID = 0) {
  const Bytes payload = payloadOf(size);
  std::vector<Bytes> datagrams;
  FrameFragmenter::cut(VideoFrameMetadata{frameID, 0, true, 0, displayID}, std::span<const std::uint8_t>(payload),
                       [&](auto piece) { datagrams.emplace_back(piece.begin(), piece.end()); });
  return datagrams;
}

Bytes datagram(std::uint32_t frameID, std::uint16_t index, std::uint16_t count, std::uint32_t totalSize,
               std::size_t payloadSize, std::uint16_t displayID = 0) {
  const auto header = FramePacketHeader(frameID, index, count, totalSize, true, displayID).serialize();
  Bytes bytes(header.begin(), header.end());
  bytes.resize(16 + payloadSize, 0xAB);
  return bytes;
}

// Returns the frames the datagrams completed, as (frameID, payload size).
using Frames = std::vector<std::pair<std::uint32_t, std::size_t>>;

Frames feed(FrameReassembler& reassembler, const std::vector<Bytes>& datagrams) {
  Frames frames;
  for (const Bytes& bytes : datagrams) {
    if (auto frame = reassembler.accept(bytes)) {
      frames.emplace_back(frame->frameID, frame->payload().size());
    }
  }
  return frames;
}

TEST(FrameReassemblerTest, ShuffledAndDuplicatedFragmentsGiveTheFrameOnce) {
  FrameReassembler reassembler;
  const Bytes payload = payloadOf(20 * 1400 + 7);
  std::vector<Bytes> datagrams = datagramsOf(7, payload.size(), 3);
  datagrams.insert(datagrams.end(), datagrams.begin(), datagrams.begin() + 5);
  std::shuffle(datagrams.begin(), datagrams.end(), std::mt19937(12345));
  datagrams.push_back(datagrams.front());  // a late duplicate of a delivered frame
  std::optional<ReassembledFrame> frame;

  for (const Bytes& bytes : datagrams) {
    if (auto completed = reassembler.accept(bytes)) {
      ASSERT_FALSE(frame);
      frame = std::move(completed);
    }
  }

  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->displayID, 3);
  EXPECT_TRUE(frame->isKeyframe);
  EXPECT_EQ(Bytes(frame->payload().begin(), frame->payload().end()), payload);
  EXPECT_EQ(reassembler.framesInFlight(), 0u);
}

TEST(FrameReassemblerTest, LostFragmentDropsItsFrameOnceANewerOneCompletes) {
  FrameReassembler reassembler;
  std::vector<Bytes> datagrams = datagramsOf(1, 4000);
  const Bytes lost = datagrams[1];
  datagrams.erase(datagrams.begin() + 1);
  std::ranges::copy(datagramsOf(2, 4000), std::back_inserter(datagrams));
  datagrams.push_back(lost);

  EXPECT_EQ(feed(reassembler, datagrams), (Frames{{2, 4000}}));
  EXPECT_EQ(reassembler.statistics().incompleteFramesDropped, 1u);
  EXPECT_EQ(reassembler.framesInFlight(), 0u);
}

TEST(FrameReassemblerTest, HostileDatagramsAreDropped) {
  const std::vector<Bytes> hostile = {
      Bytes(15, 0),                       // shorter than a header
      datagram(1, 0, 0, 0, 0),            // no fragments
      datagram(1, 3, 3, 3000, 200),       // index not below count
      datagram(1, 0, 2, 1400, 1400),      // size fits one fragment
      datagram(1, 0, 1, 0, 1),            // empty frame with bytes
      datagram(1, 0, 2, 2000, 1399),      // short middle fragment
      datagram(1, 1, 2, 2000, 601),       // long last fragment
      datagram(1, 0, 65535, 0xFFFFFFFF, 1400),
  };
  FrameReassembler reassembler;
  EXPECT_TRUE(feed(reassembler, hostile).empty());
  EXPECT_EQ(reassembler.statistics().invalidDatagrams, hostile.size());
  EXPECT_EQ(reassembler.framesInFlight(), 0u);

  // A fragment that contradicts the frame its first fragment announced is refused, not mixed in.
  const std::vector<Bytes> honest = datagramsOf(5, 4000);
  EXPECT_EQ(feed(reassembler, {honest[0], datagram(5, 1, 3, 3500, 1400), honest[1], honest[2]}),
            (Frames{{5, 4000}}));
}

TEST(FrameReassemblerTest, IncompleteFramesAreBoundedPerDisplayAndAcrossDisplays) {
  FrameReassembler reassembler(4, 3);
  for (std::uint16_t displayID = 0; displayID < 50; ++displayID) {
    for (std::uint32_t frameID = 0; frameID < 20; ++frameID) {
      const std::uint16_t count = frameID % 10 == 0 ? 65535 : 3;  // the largest frames a header can declare, too
      reassembler.accept(datagram(frameID, 0, count, count * 1400u, 1400, displayID));
      ASSERT_LE(reassembler.framesInFlight(), displayID == 0 ? 4u : 12u);
    }
  }
}

TEST(FrameReassemblerTest, LateFirstFragmentDoesNotEvictNewerFrames) {
  FrameReassembler reassembler(2);
  reassembler.accept(datagram(10, 0, 2, 2000, 1400));
  reassembler.accept(datagram(11, 0, 2, 2000, 1400));

  reassembler.accept(datagram(9, 0, 2, 2000, 1400));
  const auto frame = reassembler.accept(datagram(10, 1, 2, 2000, 600));

  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->frameID, 10u);
}

TEST(FrameReassemblerTest, FrameIDsWrapAroundAndARestartedSenderIsFollowed) {
  FrameReassembler reassembler;
  const std::uint32_t frameIDs[] = {0xFFFFFFFDu, 0xFFFFFFFEu, 0u, 1u, 0xFFFFFFFFu, 2u, 5000u, 0u};
  std::vector<Bytes> datagrams;
  for (std::size_t index = 0; index < std::size(frameIDs); ++index) {
    datagrams.push_back(datagramsOf(frameIDs[index], 100 + index)[0]);
  }

  // 0xFFFFFFFF is older than 1 by then: too late. The jump to 5000 and back to 0 is a new encoder.
  EXPECT_EQ(feed(reassembler, datagrams),
            (Frames{{0xFFFFFFFDu, 100}, {0xFFFFFFFEu, 101}, {0, 102}, {1, 103}, {2, 105}, {5000, 106}, {0, 107}}));
}

}  // namespace
}  // namespace velmora
