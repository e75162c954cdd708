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
std::uint64_t payloadSizeOf(const Pieces& pieces) {
  std::uint64_t payloadSize = 0;
  for (const auto& piece : pieces) {
    payloadSize += piece.size();
  }
  return payloadSize;
}

FragmentationResult refusal(const VideoFrameMetadata& metadata, std::uint64_t payloadSize) {
  return {0, "Frame " + std::to_string(metadata.frameID) + " of " + std::to_string(payloadSize) +
                 " bytes needs more than " + std::to_string(FrameFragmenter::maxFragmentCount) + " fragments; not sent"};
}

// Writes datagram i (header, then its slice of the payload) at datagramAt(i) and then calls
// written(i, length), in fragment order.
template <class Pieces, class DatagramAt, class Written>
void writeDatagrams(const VideoFrameMetadata& metadata, const Pieces& pieces, std::uint64_t payloadSize,
                    std::uint16_t count, DatagramAt datagramAt, Written written) {
  auto piece = std::begin(pieces);
  std::size_t pieceOffset = 0;
  std::uint64_t remaining = payloadSize;
  for (std::uint16_t index = 0; index < count; ++index) {
    std::uint8_t* datagram = datagramAt(index);
    const FramePacketHeader header(metadata.frameID, index, count, static_cast<std::uint32_t>(payloadSize),
                                   metadata.isKeyframe, metadata.displayID);
    header.serialize(std::span<std::uint8_t, headerSize>(datagram, headerSize));

    const auto fragmentLength = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, fragmentSize));
    std::size_t filled = 0;
    while (filled < fragmentLength) {
      const std::size_t take = std::min(fragmentLength - filled, piece->size() - pieceOffset);
      if (take > 0) {
        std::memcpy(datagram + headerSize + filled, piece->data() + pieceOffset, take);
      }
      filled += take;
      pieceOffset += take;
      if (pieceOffset == piece->size()) {
        ++piece;
        pieceOffset = 0;
      }
    }
    remaining -= fragmentLength;
    written(datagram, headerSize + fragmentLength);
  }
}

template <class Pieces>
FragmentationResult cutPieces(const VideoFrameMetadata& metadata, const Pieces& pieces,
                              const FrameFragmenter::DatagramSink& sink) {
  const std::uint64_t payloadSize = payloadSizeOf(pieces);
  const std::optional<std::uint16_t> count = FrameFragmenter::fragmentCount(payloadSize);
  if (!count) {
    return refusal(metadata, payloadSize);
  }

  std::array<std::uint8_t, FrameFragmenter::maxDatagramSize> datagram{};
  writeDatagrams(
      metadata, pieces, payloadSize, *count, [&datagram](std::uint16_t) { return datagram.data(); },
      [&sink](const std::uint8_t* bytes, std::size_t length) { sink(std::span<const std::uint8_t>(bytes, length)); });
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

FragmentationResult FrameFragmenter::layOut(const VideoFrameMetadata& metadata,
                                            std::span<const std::vector<std::uint8_t>> nalUnits,
                                            std::vector<std::uint8_t>& train) {
  const std::uint64_t payloadSize = payloadSizeOf(nalUnits);
  const std::optional<std::uint16_t> count = fragmentCount(payloadSize);
  if (!count) {
    train.clear();
    return refusal(metadata, payloadSize);
  }

  train.resize(static_cast<std::size_t>(*count) * headerSize + static_cast<std::size_t>(payloadSize));
  writeDatagrams(
      metadata, nalUnits, payloadSize, *count,
      [&train](std::uint16_t index) { return train.data() + static_cast<std::size_t>(index) * maxDatagramSize; },
      [](const std::uint8_t*, std::size_t) {});
  return {*count, {}};
}

}  // namespace velmora
