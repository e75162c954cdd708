#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace velmora {

struct ReassembledFrame {
  std::uint32_t frameID = 0;
  std::uint16_t displayID = 0;
  bool isKeyframe = false;
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size = 0;

  std::span<const std::uint8_t> payload() const { return {bytes.get(), size}; }
};

struct FrameReassemblerStatistics {
  std::uint64_t framesCompleted = 0;
  std::uint64_t incompleteFramesDropped = 0;
  std::uint64_t invalidDatagrams = 0;    // too short, self-contradicting, or contradicting earlier fragments
  std::uint64_t duplicateDatagrams = 0;  // a fragment already held, or one of a frame already delivered
  std::uint64_t lateDatagrams = 0;       // for a frame older than one already delivered or kept

  bool operator==(const FrameReassemblerStatistics&) const = default;
};

// Puts video frames together again on the receiving side, from datagrams that may arrive lost,
// duplicated or out of order, and from senders that may be hostile.
//
// Frames of one display are delivered in frame order: completing a frame drops the older incomplete
// ones, and fragments of frames older than the last delivered one are refused. Frame IDs wrap, so
// "older" is serial-number arithmetic. A sender that restarts its numbering (a new encoder starts at
// 0) is recognised by a frame far behind the last one seen, or by a frame whose ID was delivered
// recently with another size; the display's state then starts afresh.
//
// Memory: at most `maxFramesInFlightPerDisplay` incomplete frames for each of `maxDisplays` displays
// (the least recently heard display is forgotten first). A frame's buffer is allocated only after
// its first fragment passed every check, and only for its declared size. Not thread-safe: one
// receive loop owns it.
class FrameReassembler {
 public:
  static constexpr std::size_t defaultMaxFramesInFlightPerDisplay = 4;
  static constexpr std::size_t defaultMaxDisplays = 8;
  static constexpr std::uint32_t recentFrameWindow = 64;  // frames remembered as delivered, and the restart distance

  explicit FrameReassembler(std::size_t maxFramesInFlightPerDisplay = defaultMaxFramesInFlightPerDisplay,
                            std::size_t maxDisplays = defaultMaxDisplays);

  // The frame this datagram completed, if any.
  std::optional<ReassembledFrame> accept(std::span<const std::uint8_t> datagram);

  const FrameReassemblerStatistics& statistics() const { return statistics_; }
  std::size_t framesInFlight() const;

 private:
  struct FrameShape {
    std::uint32_t frameID = 0;
    std::uint16_t fragmentCount = 0;
    std::uint32_t totalSize = 0;
    bool isKeyframe = false;
    bool operator==(const FrameShape&) const = default;
  };
  struct PartialFrame {
    FrameShape shape;
    std::unique_ptr<std::uint8_t[]> bytes;
    std::vector<bool> received;
    std::uint32_t receivedCount = 0;
  };
  struct DisplayStream {
    std::uint16_t displayID = 0;
    std::uint64_t lastHeard = 0;
    std::vector<PartialFrame> inFlight;
    std::vector<FrameShape> recentlyDelivered;  // oldest first, at most recentFrameWindow
  };

  DisplayStream& streamFor(std::uint16_t displayID);
  bool isLateOrDuplicate(DisplayStream& stream, const FrameShape& shape);
  bool makeRoom(DisplayStream& stream, std::uint32_t frameID);
  ReassembledFrame deliver(DisplayStream& stream, const FrameShape& shape, std::unique_ptr<std::uint8_t[]> bytes);
  void restart(DisplayStream& stream);

  std::size_t maxFramesInFlightPerDisplay_;
  std::size_t maxDisplays_;
  std::vector<DisplayStream> streams_;
  std::uint64_t activityClock_ = 0;  // advances with each valid datagram; orders displays by last use
  FrameReassemblerStatistics statistics_;
};

}  // namespace velmora
