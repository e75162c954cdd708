#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/frame_reassembler.h"

namespace velmora {

struct LatencySummary {
  std::uint64_t samples = 0;
  double minimumMilliseconds = 0;
  double medianMilliseconds = 0;
  double p95Milliseconds = 0;  // nearest rank
  double p99Milliseconds = 0;  // nearest rank
  double maximumMilliseconds = 0;
};

// Median and nearest-rank 95th and 99th percentiles of the samples; nothing when there are none.
std::optional<LatencySummary> summarizeLatencies(std::vector<std::int64_t> microseconds);

struct DisplayReceiveStatistics {
  std::uint16_t displayID = 0;
  std::uint64_t framesCompleted = 0;
  std::uint64_t keyframes = 0;
  std::uint64_t incompleteFramesDropped = 0;
  std::uint64_t framesSkippedAwaitingKeyframe = 0;
  std::uint64_t decodeErrors = 0;
  std::uint64_t picturesDecoded = 0;
  std::uint64_t stampedPictures = 0;
  int width = 0;  // of the latest picture
  int height = 0;
  double framesPerSecond = 0;  // decoded pictures over the span from the first to the latest
  std::optional<LatencySummary> latency;  // drawn (the stamp) to decoded
  // The same span cut in two where the whole frame was reassembled: the receive thread's part.
  std::optional<LatencySummary> drawnToReassembled;
  std::optional<LatencySummary> reassembledToDecoded;
};

// One decoded picture's spans, in microseconds; the drawn ones only for a plausible stamp.
struct PictureLatencies {
  std::optional<std::int64_t> drawnToDecoded;
  std::optional<std::int64_t> drawnToReassembled;
  std::optional<std::int64_t> reassembledToDecoded;
};

struct VideoReceiverStatistics {
  std::vector<DisplayReceiveStatistics> displays;  // by displayID
  std::uint64_t datagramsReceived = 0;
  std::uint64_t receiveErrors = 0;
  std::uint64_t hellosSent = 0;
  std::uint64_t framesOfIgnoredDisplays = 0;  // displays beyond the receiver's limit
  FrameReassemblerStatistics reassembler;
  std::uint64_t videoPortChanges = 0;
  // From each move to a new local port to the first picture decoded after it.
  std::optional<LatencySummary> firstPictureAfterPortChange;
};

nlohmann::json toJson(const VideoReceiverStatistics& statistics);

// Collects the counters from the receive thread and hands out snapshots to any thread.
class ReceiveStatisticsRecorder {
 public:
  using Clock = std::chrono::steady_clock;
  // Median and percentiles look at the latest this many pictures; minimum and maximum at all.
  static constexpr std::size_t latencyWindow = 65536;

  struct TransportCounters {
    std::uint64_t datagramsReceived = 0;
    std::uint64_t receiveErrors = 0;
    std::uint64_t hellosSent = 0;
    std::uint64_t framesOfIgnoredDisplays = 0;
    FrameReassemblerStatistics reassembler;
  };

  void recordFrame(std::uint16_t displayID, bool isKeyframe);
  void recordIncompleteFramesDropped(std::uint16_t displayID, std::uint64_t count);
  void recordSkippedFrame(std::uint16_t displayID);
  void recordDecodeError(std::uint16_t displayID);
  void recordPicture(std::uint16_t displayID, int width, int height, Clock::time_point decodedAt, bool hasStamp,
                     const PictureLatencies& latencies);
  void recordTransport(const TransportCounters& counters);
  // Reception moved to a new local port at `at`: the next picture tells how long the stream took
  // to follow.
  void recordPortChange(Clock::time_point at);

  VideoReceiverStatistics snapshot() const;

 private:
  // The latest latencyWindow samples of one span (microseconds), and the extremes of all.
  struct LatencyRing {
    std::vector<std::int64_t> latest;
    std::size_t next = 0;
    std::uint64_t samples = 0;
    std::int64_t minimum = 0;
    std::int64_t maximum = 0;

    void add(std::optional<std::int64_t> microseconds);
    std::optional<LatencySummary> summary() const;
  };

  struct DisplayRecord {
    DisplayReceiveStatistics counters;
    std::optional<Clock::time_point> firstPictureAt;
    Clock::time_point latestPictureAt;
    LatencyRing drawnToDecoded;
    LatencyRing drawnToReassembled;
    LatencyRing reassembledToDecoded;
  };

  DisplayRecord& recordFor(std::uint16_t displayID);
  static DisplayReceiveStatistics summarize(const DisplayRecord& record);

  mutable std::mutex statisticsLock_;
  std::map<std::uint16_t, DisplayRecord> displays_;
  TransportCounters transport_;
  std::uint64_t portChanges_ = 0;
  std::optional<Clock::time_point> portChangedAt_;  // until the next picture
  std::vector<std::int64_t> firstPictureAfterPortChange_;  // microseconds, one per change that saw a picture
};

}  // namespace velmora
