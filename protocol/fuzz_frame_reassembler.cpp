// FrameReassembler against arbitrary datagrams, or against honest frames delivered in an order (with
// losses and duplicates) the input chooses: every frame that comes out must be one that went in.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

#include "protocol/frame_fragmenter.h"
#include "protocol/frame_packet_header.h"
#include "protocol/frame_reassembler.h"

using Bytes = std::vector<std::uint8_t>;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  velmora::FrameReassembler reassembler(4, 3);
  std::map<std::pair<std::uint16_t, std::uint32_t>, Bytes> sent;
  std::vector<Bytes> datagrams;
  const bool honest = data.ConsumeBool();
  for (std::uint32_t frameID = 0xFFFFFFFEu; honest && frameID != 4; ++frameID) {  // across the wrap
    const auto displayID = data.ConsumeIntegralInRange<std::uint16_t>(0, 2);
    const Bytes payload(data.ConsumeIntegralInRange<std::size_t>(0, 6000), static_cast<std::uint8_t>(frameID));
    const velmora::VideoFrameMetadata metadata{frameID, 0, frameID % 2 == 0, 0, displayID};
    velmora::FrameFragmenter::cut(metadata, payload, [&](std::span<const std::uint8_t> piece) {
      datagrams.emplace_back(piece.begin(), piece.end());
    });
    sent[{displayID, frameID}] = payload;
  }
  while (data.remaining_bytes() > 0) {
    const Bytes datagram = honest ? datagrams[data.ConsumeIntegral<std::uint8_t>() % datagrams.size()]
                                  : data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegral<std::uint16_t>());
    const auto header = velmora::FramePacketHeader::deserialize(datagram);
    if (header.has_value() != (datagram.size() >= 16) || (header && header->flags > 1)) {
      std::abort();
    }
    if (const auto frame = reassembler.accept(datagram)) {
      const auto original = sent.find({frame->displayID, frame->frameID});
      const bool known = original != sent.end() && std::ranges::equal(original->second, frame->payload());
      if ((honest && !known) || frame->frameID != header->frameID || frame->size != header->totalSize) {
        std::abort();
      }
    }
    if (reassembler.framesInFlight() > 12 || (honest && reassembler.statistics().invalidDatagrams != 0)) {
      std::abort();
    }
  }
  return 0;
}
