#include "client/receive_statistics.h"

#include <algorithm>

namespace velmora {
namespace {

double milliseconds(std::int64_t microseconds) { return static_cast<double>(microseconds) / 1000.0; }

nlohmann::json toJson(const std::optional<LatencySummary>& summary) {
  if (!summary) {
    return nullptr;
  }
  return {{"samples", summary->samples},
          {"min", summary->minimumMilliseconds},
          {"median", summary->medianMilliseconds},
          {"p95", summary->p95Milliseconds},
          {"p99", summary->p99Milliseconds},
          {"max", summary->maximumMilliseconds}};
}

nlohmann::json toJson(const DisplayReceiveStatistics& display) {
  return {{"displayID", display.displayID},
          {"framesCompleted", display.framesCompleted},
          {"keyframes", display.keyframes},
          {"incompleteFramesDropped", display.incompleteFramesDropped},
          {"framesSkippedAwaitingKeyframe", display.framesSkippedAwaitingKeyframe},
          {"decodeErrors", display.decodeErrors},
          {"picturesDecoded", display.picturesDecoded},
          {"stampedPictures", display.stampedPictures},
          {"width", display.width},
          {"height", display.height},
          {"framesPerSecond", display.framesPerSecond},
          {"latencyMilliseconds", toJson(display.latency)},
          {"drawnToReassembledMilliseconds", toJson(display.drawnToReassembled)},
          {"reassembledToDecodedMilliseconds", toJson(display.reassembledToDecoded)}};
}

}  // namespace

std::optional<LatencySummary> summarizeLatencies(std::vector<std::int64_t> microseconds) {
  if (microseconds.empty()) {
    return std::nullopt;
  }
  std::sort(microseconds.begin(), microseconds.end());
  const std::size_t count = microseconds.size();
  const std::size_t middle = count / 2;
  const double median = count % 2 == 1 ? milliseconds(microseconds[middle])
                                       : (milliseconds(microseconds[middle - 1]) + milliseconds(microseconds[middle])) / 2;
  // Nearest rank: the smallest sample with at least that share of all samples at or below it.
  const auto percentile = [&](std::size_t percent) { return milliseconds(microseconds[(count * percent + 99) / 100 - 1]); };
  return LatencySummary{count, milliseconds(microseconds.front()), median, percentile(95), percentile(99),
                        milliseconds(microseconds.back())};
}

nlohmann::json toJson(const VideoReceiverStatistics& statistics) {
  nlohmann::json displays = nlohmann::json::array();
  for (const DisplayReceiveStatistics& display : statistics.displays) {
    displays.push_back(toJson(display));
  }
  const FrameReassemblerStatistics& reassembler = statistics.reassembler;
  return {{"displays", std::move(displays)},
          {"datagrams",
           {{"received", statistics.datagramsReceived},
            {"invalid", reassembler.invalidDatagrams},
            {"duplicate", reassembler.duplicateDatagrams},
            {"late", reassembler.lateDatagrams},
            {"receiveErrors", statistics.receiveErrors}}},
          {"framesCompleted", reassembler.framesCompleted},
          {"incompleteFramesDropped", reassembler.incompleteFramesDropped},
          {"framesOfIgnoredDisplays", statistics.framesOfIgnoredDisplays},
          {"hellosSent", statistics.hellosSent},
          {"videoPortChanges",
           {{"count", statistics.videoPortChanges},
            {"firstPictureAfterMilliseconds", toJson(statistics.firstPictureAfterPortChange)}}}};
}

void ReceiveStatisticsRecorder::recordFrame(std::uint16_t displayID, bool isKeyframe) {
  std::lock_guard lock(statisticsLock_);
  DisplayReceiveStatistics& counters = recordFor(displayID).counters;
  ++counters.framesCompleted;
  counters.keyframes += isKeyframe ? 1 : 0;
}

void ReceiveStatisticsRecorder::recordIncompleteFramesDropped(std::uint16_t displayID, std::uint64_t count) {
  std::lock_guard lock(statisticsLock_);
  recordFor(displayID).counters.incompleteFramesDropped += count;
}

void ReceiveStatisticsRecorder::recordSkippedFrame(std::uint16_t displayID) {
  std::lock_guard lock(statisticsLock_);
  ++recordFor(displayID).counters.framesSkippedAwaitingKeyframe;
}

void ReceiveStatisticsRecorder::recordDecodeError(std::uint16_t displayID) {
  std::lock_guard lock(statisticsLock_);
  ++recordFor(displayID).counters.decodeErrors;
}

void ReceiveStatisticsRecorder::recordPicture(std::uint16_t displayID, int width, int height,
                                              Clock::time_point decodedAt, bool hasStamp,
                                              const PictureLatencies& latencies) {
  std::lock_guard lock(statisticsLock_);
  DisplayRecord& record = recordFor(displayID);
  ++record.counters.picturesDecoded;
  record.counters.stampedPictures += hasStamp ? 1 : 0;
  record.counters.width = width;
  record.counters.height = height;
  if (!record.firstPictureAt) {
    record.firstPictureAt = decodedAt;
  }
  if (portChangedAt_) {
    firstPictureAfterPortChange_.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(decodedAt - *portChangedAt_).count());
    portChangedAt_.reset();
  }
  record.latestPictureAt = decodedAt;
  record.drawnToDecoded.add(latencies.drawnToDecoded);
  record.drawnToReassembled.add(latencies.drawnToReassembled);
  record.reassembledToDecoded.add(latencies.reassembledToDecoded);
}

void ReceiveStatisticsRecorder::LatencyRing::add(std::optional<std::int64_t> microseconds) {
  if (!microseconds) {
    return;
  }
  const std::int64_t latency = *microseconds;
  minimum = samples == 0 ? latency : std::min(minimum, latency);
  maximum = samples == 0 ? latency : std::max(maximum, latency);
  ++samples;
  if (latest.size() < latencyWindow) {
    latest.push_back(latency);
  } else {
    latest[next] = latency;
  }
  next = (next + 1) % latencyWindow;
}

std::optional<LatencySummary> ReceiveStatisticsRecorder::LatencyRing::summary() const {
  auto result = summarizeLatencies(latest);
  if (result) {
    result->samples = samples;
    result->minimumMilliseconds = milliseconds(minimum);
    result->maximumMilliseconds = milliseconds(maximum);
  }
  return result;
}

void ReceiveStatisticsRecorder::recordTransport(const TransportCounters& counters) {
  std::lock_guard lock(statisticsLock_);
  transport_ = counters;
}

void ReceiveStatisticsRecorder::recordPortChange(Clock::time_point at) {
  std::lock_guard lock(statisticsLock_);
  ++portChanges_;
  portChangedAt_ = at;
}

VideoReceiverStatistics ReceiveStatisticsRecorder::snapshot() const {
  std::map<std::uint16_t, DisplayRecord> displays;
  std::vector<std::int64_t> firstPictureAfterPortChange;
  VideoReceiverStatistics statistics;
  {
    std::lock_guard lock(statisticsLock_);
    displays = displays_;
    statistics.datagramsReceived = transport_.datagramsReceived;
    statistics.receiveErrors = transport_.receiveErrors;
    statistics.hellosSent = transport_.hellosSent;
    statistics.framesOfIgnoredDisplays = transport_.framesOfIgnoredDisplays;
    statistics.reassembler = transport_.reassembler;
    statistics.videoPortChanges = portChanges_;
    firstPictureAfterPortChange = firstPictureAfterPortChange_;
  }
  statistics.firstPictureAfterPortChange = summarizeLatencies(std::move(firstPictureAfterPortChange));
  for (const auto& [displayID, record] : displays) {
    statistics.displays.push_back(summarize(record));
  }
  return statistics;
}

ReceiveStatisticsRecorder::DisplayRecord& ReceiveStatisticsRecorder::recordFor(std::uint16_t displayID) {
  DisplayRecord& record = displays_[displayID];
  record.counters.displayID = displayID;
  return record;
}

DisplayReceiveStatistics ReceiveStatisticsRecorder::summarize(const DisplayRecord& record) {
  DisplayReceiveStatistics result = record.counters;
  if (record.firstPictureAt && record.counters.picturesDecoded > 1) {
    const std::chrono::duration<double> span = record.latestPictureAt - *record.firstPictureAt;
    if (span.count() > 0) {
      result.framesPerSecond = static_cast<double>(record.counters.picturesDecoded - 1) / span.count();
    }
  }
  result.latency = record.drawnToDecoded.summary();
  result.drawnToReassembled = record.drawnToReassembled.summary();
  result.reassembledToDecoded = record.reassembledToDecoded.summary();
  return result;
}

}  // namespace velmora
