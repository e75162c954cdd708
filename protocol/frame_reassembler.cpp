#include "protocol/frame_reassembler.h"

#include <algorithm>
#include <cstring>

#include "protocol/frame_packet_header.h"
#include "protocol/velmora_constants.h"

namespace velmora {

namespace {

constexpr std::uint64_t fragmentSize = VelmoraConstants::maxFragmentPayloadSize;

// How far `frameID` lies behind `newer`, modulo 2^32.
std::uint32_t distanceBehind(std::uint32_t frameID, std::uint32_t newer) {
  return newer - frameID;
}

bool isOlder(std::uint32_t frameID, std::uint32_t than) {
  return static_cast<std::int32_t>(frameID - than) < 0;
}

// The payload length this header implies for its fragment, or nothing when the header
// contradicts itself.
std::optional<std::size_t> expectedPayloadLength(const FramePacketHeader& header) {
  const std::uint64_t count = header.fragmentCount;
  if (count == 0 || header.fragmentIndex >= count) {
    return std::nullopt;
  }
  if (count == 1 && header.totalSize == 0) {
    return 0;
  }
  if (header.totalSize <= (count - 1) * fragmentSize || header.totalSize > count * fragmentSize) {
    return std::nullopt;
  }
  const bool isLast = header.fragmentIndex == count - 1;
  return static_cast<std::size_t>(isLast ? header.totalSize - (count - 1) * fragmentSize : fragmentSize);
}

}  // namespace

FrameReassembler::FrameReassembler(std::size_t maxFramesInFlightPerDisplay, std::size_t maxDisplays)
    : maxFramesInFlightPerDisplay_(std::max<std::size_t>(1, maxFramesInFlightPerDisplay)),
      maxDisplays_(std::max<std::size_t>(1, maxDisplays)) {}

std::optional<ReassembledFrame> FrameReassembler::accept(std::span<const std::uint8_t> datagram) {
  const std::optional<FramePacketHeader> header = FramePacketHeader::deserialize(datagram);
  const std::span<const std::uint8_t> fragment =
      datagram.size() < VelmoraConstants::framePacketHeaderSize
          ? std::span<const std::uint8_t>()
          : datagram.subspan(VelmoraConstants::framePacketHeaderSize);
  if (!header || expectedPayloadLength(*header) != fragment.size()) {
    ++statistics_.invalidDatagrams;
    return std::nullopt;
  }

  const FrameShape shape{header->frameID, header->fragmentCount, header->totalSize, header->isKeyframe()};
  const std::size_t fragmentOffset = header->fragmentIndex * fragmentSize;
  DisplayStream& stream = streamFor(header->displayID);

  const auto partial = std::find_if(stream.inFlight.begin(), stream.inFlight.end(),
                                    [&](const PartialFrame& frame) { return frame.shape.frameID == shape.frameID; });
  if (partial != stream.inFlight.end()) {
    if (partial->shape != shape) {
      ++statistics_.invalidDatagrams;
      return std::nullopt;
    }
    if (partial->received[header->fragmentIndex]) {
      ++statistics_.duplicateDatagrams;
      return std::nullopt;
    }
    std::memcpy(partial->bytes.get() + fragmentOffset, fragment.data(), fragment.size());
    partial->received[header->fragmentIndex] = true;
    if (++partial->receivedCount < shape.fragmentCount) {
      return std::nullopt;
    }
    std::unique_ptr<std::uint8_t[]> bytes = std::move(partial->bytes);
    stream.inFlight.erase(partial);
    return deliver(stream, shape, std::move(bytes));
  }

  if (isLateOrDuplicate(stream, shape)) {
    return std::nullopt;
  }
  if (shape.fragmentCount == 1) {
    auto bytes = std::make_unique_for_overwrite<std::uint8_t[]>(shape.totalSize);
    if (!fragment.empty()) {
      std::memcpy(bytes.get(), fragment.data(), fragment.size());
    }
    return deliver(stream, shape, std::move(bytes));
  }
  if (!makeRoom(stream, shape.frameID)) {
    ++statistics_.lateDatagrams;
    return std::nullopt;
  }
  PartialFrame& frame = stream.inFlight.emplace_back();
  frame.shape = shape;
  frame.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(shape.totalSize);
  frame.received.assign(shape.fragmentCount, false);
  frame.received[header->fragmentIndex] = true;
  frame.receivedCount = 1;
  std::memcpy(frame.bytes.get() + fragmentOffset, fragment.data(), fragment.size());
  return std::nullopt;
}

std::size_t FrameReassembler::framesInFlight() const {
  std::size_t count = 0;
  for (const DisplayStream& stream : streams_) {
    count += stream.inFlight.size();
  }
  return count;
}

FrameReassembler::DisplayStream& FrameReassembler::streamFor(std::uint16_t displayID) {
  ++activityClock_;
  auto stream = std::find_if(streams_.begin(), streams_.end(),
                             [&](const DisplayStream& candidate) { return candidate.displayID == displayID; });
  if (stream == streams_.end()) {
    if (streams_.size() >= maxDisplays_) {
      const auto quietest = std::min_element(
          streams_.begin(), streams_.end(),
          [](const DisplayStream& left, const DisplayStream& right) { return left.lastHeard < right.lastHeard; });
      statistics_.incompleteFramesDropped += quietest->inFlight.size();
      streams_.erase(quietest);
    }
    stream = streams_.insert(streams_.end(), DisplayStream{});
    stream->displayID = displayID;
  }
  stream->lastHeard = activityClock_;
  return *stream;
}

// Decides about the first fragment of a frame not in flight; may restart the stream.
bool FrameReassembler::isLateOrDuplicate(DisplayStream& stream, const FrameShape& shape) {
  const auto delivered =
      std::find_if(stream.recentlyDelivered.begin(), stream.recentlyDelivered.end(),
                   [&](const FrameShape& recent) { return recent.frameID == shape.frameID; });
  if (delivered != stream.recentlyDelivered.end()) {
    if (*delivered == shape) {
      ++statistics_.duplicateDatagrams;
      return true;
    }
    restart(stream);
    return false;
  }

  std::optional<std::uint32_t> newest;
  if (!stream.recentlyDelivered.empty()) {
    newest = stream.recentlyDelivered.back().frameID;
  }
  for (const PartialFrame& frame : stream.inFlight) {
    if (!newest || isOlder(*newest, frame.shape.frameID)) {
      newest = frame.shape.frameID;
    }
  }
  if (!newest || !isOlder(shape.frameID, *newest)) {
    return false;
  }
  if (distanceBehind(shape.frameID, *newest) > recentFrameWindow) {
    restart(stream);
    return false;
  }
  if (!stream.recentlyDelivered.empty() && isOlder(shape.frameID, stream.recentlyDelivered.back().frameID)) {
    ++statistics_.lateDatagrams;
    return true;
  }
  return false;
}

// Frees a slot for a new frame by dropping the oldest incomplete one, unless the new frame is
// itself the oldest: then it is the one not kept.
bool FrameReassembler::makeRoom(DisplayStream& stream, std::uint32_t frameID) {
  if (stream.inFlight.size() < maxFramesInFlightPerDisplay_) {
    return true;
  }
  auto oldest = stream.inFlight.begin();
  for (auto frame = stream.inFlight.begin(); frame != stream.inFlight.end(); ++frame) {
    if (isOlder(frame->shape.frameID, oldest->shape.frameID)) {
      oldest = frame;
    }
  }
  if (isOlder(frameID, oldest->shape.frameID)) {
    return false;
  }
  stream.inFlight.erase(oldest);
  ++statistics_.incompleteFramesDropped;
  return true;
}

ReassembledFrame FrameReassembler::deliver(DisplayStream& stream, const FrameShape& shape,
                                           std::unique_ptr<std::uint8_t[]> bytes) {
  const auto olderCount = std::erase_if(
      stream.inFlight, [&](const PartialFrame& frame) { return isOlder(frame.shape.frameID, shape.frameID); });
  statistics_.incompleteFramesDropped += olderCount;
  ++statistics_.framesCompleted;
  stream.recentlyDelivered.push_back(shape);
  if (stream.recentlyDelivered.size() > recentFrameWindow) {
    stream.recentlyDelivered.erase(stream.recentlyDelivered.begin());
  }
  return ReassembledFrame{
      .frameID = shape.frameID,
      .displayID = stream.displayID,
      .isKeyframe = shape.isKeyframe,
      .bytes = std::move(bytes),
      .size = shape.totalSize,
  };
}

void FrameReassembler::restart(DisplayStream& stream) {
  statistics_.incompleteFramesDropped += stream.inFlight.size();
  stream.inFlight.clear();
  stream.recentlyDelivered.clear();
}

}  // namespace velmora
