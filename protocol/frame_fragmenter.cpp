#include "protocol/frame_fragmenter.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "protocol/frame_packet_header.h"

namespace velmora {

namespace {

constexpr std::size_t headerSize = VelmoraConstants::framePacketHeaderSize;
constexpr std::size_t fragmentSize = VelmoraConstants::maxFragmentPayloadSize;

// Pieces: a list of byte buffers (anything with data() and size()), read as one payload.
template <class Pieces>
FragmentationResult cutPieces(const VideoFrameMetadata& metadata, const Pieces& pieces,
                              const FrameFragmenter::DatagramSink& sink) {
  std::uint64_t payloadSize = 0;
  for (const auto& piece : pieces) {
    payloadSize += piece.size();
  }
  const std::optional<std::uint16_t> count = FrameFragmenter::fragmentCount(payloadSize);
  if (!count) {
    return {0, "Frame " + std::to_string(metadata.frameID) + " of " + std::to_string(payloadSize) +
                   " bytes needs more than " + std::to_string(FrameFragmenter::maxFragmentCount) +
                   " fragments; not sent"};
  }

  std::array<std::uint8_t, FrameFragmenter::maxDatagramSize> datagram{};
  auto piece = std::begin(pieces);
  std::size_t pieceOffset = 0;
  std::uint64_t remaining = payloadSize;
  for (std::uint16_t index = 0; index < *count; ++index) {
    const FramePacketHeader header(metadata.frameID, index, *count, static_cast<std::uint32_t>(payloadSize),
                                   metadata.isKeyframe, metadata.displayID);
    header.serialize(std::span<std::uint8_t, headerSize>(datagram.data(), headerSize));

    const auto fragmentLength = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, fragmentSize));
    std::size_t filled = 0;
    while (filled < fragmentLength) {
      const std::size_t take = std::min(fragmentLength - filled, piece->size() - pieceOffset);
      if (take > 0) {
        std::memcpy(datagram.data() + headerSize + filled, piece->data() + pieceOffset, take);
      }
      filled += take;
      pieceOffset += take;
      if (pieceOffset == piece->size()) {
        ++piece;
        pieceOffset = 0;
      }
    }
    remaining -= fragmentLength;
    sink(std::span<const std::uint8_t>(datagram.data(), headerSize + fragmentLength));
  }
  return {*count, {}};
}

}  // namespace

std::optional<std::uint16_t> FrameFragmenter::fragmentCount(std::uint64_t payloadSize) {
  const std::uint64_t count = std::max<std::uint64_t>(1, (payloadSize + fragmentSize - 1) / fragmentSize);
  if (count > maxFragmentCount) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(count);
}

FragmentationResult FrameFragmenter::cut(const VideoFrameMetadata& metadata,
                                         std::span<const std::vector<std::uint8_t>> nalUnits,
                                         const DatagramSink& sink) {
  return cutPieces(metadata, nalUnits, sink);
}

FragmentationResult FrameFragmenter::cut(const VideoFrameMetadata& metadata, std::span<const std::uint8_t> payload,
                                         const DatagramSink& sink) {
  const std::array<std::span<const std::uint8_t>, 1> pieces{payload};
  return cutPieces(metadata, pieces, sink);
}

}  // namespace velmora
