#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace velmora {

// How long one stream's frames spend in each of the host's stages, as medians over an interval,
// so that a latency can be read as a sum of its parts. Any thread may record; the lock is held
// only to add a sample or to take them all out.
class FrameStageLog {
 public:
  using Clock = std::chrono::steady_clock;

  enum Stage : std::size_t {
    drawnToCaptured,  // from the stamp drawn into the picture to its capture
    waiting,          // from the capture to the encoder taking the frame in
    encoding,
    sending,  // from the encoded output to the last datagram handed to the kernel
    stageCount
  };

  struct Summary {
    std::size_t frames = 0;  // frames that were sent
    std::array<std::optional<double>, stageCount> medianMilliseconds;
  };

  explicit FrameStageLog(Clock::duration interval) : interval_(interval) {}

  // A negative or non-finite duration (a clock misread) is left out.
  void record(Stage stage, double seconds);
  // The medians of what was recorded since the last summary, once `interval` has passed since
  // then (the first call starts the interval), or at once with `now` set to nothing. Nothing
  // when no frame was sent in between.
  std::optional<Summary> takeSummary(std::optional<Clock::time_point> now);

 private:
  const Clock::duration interval_;

  std::mutex samplesLock_;
  std::array<std::vector<double>, stageCount> samples_;  // milliseconds
  std::optional<Clock::time_point> intervalStart_;
};

}  // namespace velmora
