// Header deserialization and FrameReassembler against arbitrary datagrams.
// Input byte 0, bit 0 clear: the rest is datagrams, each a 2-byte big-endian length and its bytes.
// Bit 0 set: honest frames are cut from the input and delivered in an order (with losses and
// duplicates) the input chooses; every frame that comes out must be one that went in.
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

void rawDatagrams(std::span<const std::uint8_t> input) {
  velmora::FrameReassembler reassembler(framesPerDisplay, displays);
  while (input.size() >= 2) {
    const std::size_t length = std::min<std::size_t>(input.size() - 2, input[0] << 8 | input[1]);
    const auto datagram = input.subspan(2, length);
    input = input.subspan(2 + length);
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

void honestFrames(std::span<const std::uint8_t> input) {
  if (input.size() < 2) {
    return;
  }
  const std::size_t frameCount = 1 + input[0] % 6;
  const std::uint32_t firstFrameID = 0xFFFFFFFDu + input[1] % 8;  // near the wrap
  input = input.subspan(2);

  std::map<std::tuple<std::uint16_t, std::uint32_t>, Bytes> sent;
  std::vector<Bytes> datagrams;
  std::uint32_t nextFrameID[displays] = {firstFrameID, firstFrameID, firstFrameID};
  for (std::size_t frame = 0; frame < frameCount && input.size() >= 2; ++frame) {
    const auto displayID = static_cast<std::uint16_t>(input[0] % displays);
    const std::size_t payloadSize = (input[1] * 37u) % 6000;
    input = input.subspan(2);
    Bytes payload(payloadSize);
    for (std::size_t index = 0; index < payloadSize; ++index) {
      payload[index] = static_cast<std::uint8_t>(index * 7 + frame);
    }
    const std::uint32_t frameID = nextFrameID[displayID]++;
    velmora::FrameFragmenter::cut(velmora::VideoFrameMetadata{frameID, 0, frame % 2 == 0, 0, displayID}, payload,
                                  [&](std::span<const std::uint8_t> datagram) {
                                    datagrams.emplace_back(datagram.begin(), datagram.end());
                                  });
    sent[{displayID, frameID}] = std::move(payload);
  }
  if (datagrams.empty()) {
    return;
  }

  velmora::FrameReassembler reassembler(framesPerDisplay, displays);
  for (const std::uint8_t pick : input) {
    if (auto frame = reassembler.accept(datagrams[pick % datagrams.size()])) {
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::span<const std::uint8_t> input(data + 1, size - 1);
  if ((data[0] & 1) != 0) {
    honestFrames(input);
  } else {
    rawDatagrams(input);
  }
  return 0;
}
