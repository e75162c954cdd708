// Header deserialization and FrameReassembler against arbitrary datagrams, or against honest frames
// delivered in an order (with losses and duplicates) the input chooses: every frame that comes out
// must be one that went in.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>
#include <tuple>
#include <vector>

#include "protocol/frame_fragmenter.h"
#include "protocol/frame_packet_header.h"
#include "protocol/frame_reassembler.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t framesPerDisplay = 4;
constexpr std::size_t displays = 3;

void checkHeader(std::span<const std::uint8_t> datagram) {
  const auto header = velmora::FramePacketHeader::deserialize(datagram);
  if (header.has_value() != (datagram.size() >= 16)) {
    std::abort();
  }
  if (header && (header->flags > 1 || velmora::FramePacketHeader::deserialize(header->serialize()) != header)) {
    std::abort();
  }
}

void checkBounds(const velmora::FrameReassembler& reassembler) {
  if (reassembler.framesInFlight() > framesPerDisplay * displays) {
    std::abort();
  }
}

void rawDatagrams(FuzzedDataProvider& data) {
  velmora::FrameReassembler reassembler(framesPerDisplay, displays);
  while (data.remaining_bytes() > 0) {
    const Bytes datagram = data.ConsumeBytes<std::uint8_t>(data.ConsumeIntegral<std::uint16_t>());
    checkHeader(datagram);
    if (auto frame = reassembler.accept(datagram)) {
      const auto header = velmora::FramePacketHeader::deserialize(datagram);
      if (frame->frameID != header->frameID || frame->displayID != header->displayID ||
          frame->size != header->totalSize) {
        std::abort();
      }
    }
    checkBounds(reassembler);
  }
}

void honestFrames(FuzzedDataProvider& data) {
  const std::size_t frameCount = data.ConsumeIntegralInRange<std::size_t>(1, 6);
  const std::uint32_t firstFrameID = 0xFFFFFFFDu + data.ConsumeIntegralInRange(0u, 7u);  // near the wrap

  std::map<std::tuple<std::uint16_t, std::uint32_t>, Bytes> sent;
  std::vector<Bytes> datagrams;
  std::uint32_t nextFrameID[displays] = {firstFrameID, firstFrameID, firstFrameID};
  for (std::size_t frame = 0; frame < frameCount; ++frame) {
    const auto displayID = data.ConsumeIntegralInRange<std::uint16_t>(0, displays - 1);
    Bytes payload(data.ConsumeIntegralInRange<std::size_t>(0, 6000));
    for (std::size_t index = 0; index < payload.size(); ++index) {
      payload[index] = static_cast<std::uint8_t>(index * 7 + frame);
    }
    const std::uint32_t frameID = nextFrameID[displayID]++;
    velmora::FrameFragmenter::cut(velmora::VideoFrameMetadata{frameID, 0, frame % 2 == 0, 0, displayID}, payload,
                                  [&](std::span<const std::uint8_t> datagram) {
                                    datagrams.emplace_back(datagram.begin(), datagram.end());
                                  });
    sent[{displayID, frameID}] = std::move(payload);
  }

  velmora::FrameReassembler reassembler(framesPerDisplay, displays);
  while (data.remaining_bytes() > 0) {
    if (auto frame = reassembler.accept(datagrams[data.ConsumeIntegral<std::uint8_t>() % datagrams.size()])) {
      const auto original = sent.find({frame->displayID, frame->frameID});
      if (original == sent.end() || !std::equal(original->second.begin(), original->second.end(),
                                                frame->payload().begin(), frame->payload().end())) {
        std::abort();
      }
    }
    checkBounds(reassembler);
  }
  if (reassembler.statistics().invalidDatagrams != 0) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  if (data.ConsumeBool()) {
    honestFrames(data);
  } else {
    rawDatagrams(data);
  }
  return 0;
}
