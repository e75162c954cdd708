#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/wake_event.h"
#include "platform/sample_buffer.h"

namespace velmora {

// Lets a capture stream grab a frame only when its consumer can take it: the first frame at once,
// then one for each request that travels back with a delivered frame. A stream asked for nothing
// for kUnansweredTimeout sends one frame anyway, so that a request lost with a dropped frame cannot
// stall it. Shared between the stream's thread and the requests, which may outlive the stream.
class FramePacer : public std::enable_shared_from_this<FramePacer> {
  struct PrivateTag {};

 public:
  using Clock = std::chrono::steady_clock;
  static constexpr Clock::duration kUnansweredTimeout = std::chrono::seconds(2);

  static std::shared_ptr<FramePacer> create();
  explicit FramePacer(PrivateTag);

  // Readable (an eventfd) after a request came; the stream's thread drains it with takeWakeUp().
  int wakeDescriptor() const { return wakeEvent_.descriptor(); }
  void takeWakeUp() const;

  // When the next frame may be grabbed, for a grab that takes `leadTime` before it is delivered.
  Clock::time_point nextFrameAllowedAt(Clock::duration leadTime) const;
  // Called for each delivered frame; the returned request goes out with it.
  NextFrameRequest frameDelivered(Clock::time_point now);

 private:
  void request(Clock::time_point readyAt);

  const WakeEvent wakeEvent_;
  mutable std::mutex timesLock_;
  std::optional<Clock::time_point> wantedAt_ = Clock::time_point{};  // none: the last frame is not yet asked for
  Clock::time_point lastDelivery_;
};

// The last few durations of something a pace is set by: a frame's encode, a screen copy's wait.
class RecentDurations {
 public:
  using Duration = std::chrono::steady_clock::duration;

  void add(Duration duration) {
    durations_[next_] = duration;
    next_ = (next_ + 1) % durations_.size();
    count_ = std::min(count_ + 1, durations_.size());
  }
  // Zero before the first.
  Duration shortest() const { return count_ == 0 ? Duration{} : *std::min_element(durations_.begin(), end()); }
  Duration longest() const { return count_ == 0 ? Duration{} : *std::max_element(durations_.begin(), end()); }

 private:
  std::array<Duration, 8>::const_iterator end() const { return durations_.begin() + static_cast<std::ptrdiff_t>(count_); }

  std::array<Duration, 8> durations_{};
  std::size_t next_ = 0;
  std::size_t count_ = 0;
};

}  // namespace velmora
