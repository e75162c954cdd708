#include "client/video_datagram_processor.h"

#include <algorithm>

#include "client/receiver_logger.h"
#include "protocol/frame_packet_header.h"

namespace velmora {

VideoDatagramProcessor::VideoDatagramProcessor(std::size_t maxDisplays, DisplayStreamSettings settings,
                                               ReceiveStatisticsRecorder& statistics)
    : maxDisplays_(maxDisplays),
      settings_(std::move(settings)),
      statistics_(statistics),
      reassembler_(FrameReassembler::defaultMaxFramesInFlightPerDisplay,
                   std::max(FrameReassembler::defaultMaxDisplays, maxDisplays)) {}

bool VideoDatagramProcessor::handle(std::span<const std::uint8_t> datagram) {
  const FrameReassemblerStatistics before = reassembler_.statistics();
  const std::optional<ReassembledFrame> frame = reassembler_.accept(datagram);
  const FrameReassemblerStatistics& after = reassembler_.statistics();

  if (after.incompleteFramesDropped > before.incompleteFramesDropped) {
    // Dropped for a newer frame of the same display: the one this datagram belongs to.
    const auto header = FramePacketHeader::deserialize(datagram);
    if (header && displayFor(header->displayID) != nullptr) {
      statistics_.recordIncompleteFramesDropped(header->displayID,
                                                after.incompleteFramesDropped - before.incompleteFramesDropped);
    }
  }
  const bool wasVideo = after.invalidDatagrams == before.invalidDatagrams;
  if (!frame) {
    return wasVideo;
  }
  if (DisplayStreamDecoder* display = displayFor(frame->displayID)) {
    display->handle(*frame);
  } else {
    ++framesOfIgnoredDisplays_;
  }
  return wasVideo;
}

DisplayStreamDecoder* VideoDatagramProcessor::displayFor(std::uint16_t displayID) {
  for (auto& [knownID, display] : displays_) {
    if (knownID == displayID) {
      return display.get();
    }
  }
  if (displays_.size() >= maxDisplays_) {
    return nullptr;
  }
  receiverLogger().info("Display {}: stream started", displayID);
  auto& added = displays_.emplace_back(displayID, std::make_unique<DisplayStreamDecoder>(displayID, settings_, statistics_));
  return added.second.get();
}

}  // namespace velmora
