#pragma once

#include <chrono>
#include <memory>
#include <optional>

#include "platform/capture/pixel_buffer_pool.h"
#include "platform/capture_loop_stream.h"
#include "platform/frame_pacer.h"

namespace velmora {

// When a stream's frames are due: no closer together than its interval. While frames keep coming
// they follow a schedule of whole intervals, so that wake-up delays do not add up; after a still
// spell the schedule starts afresh.
class FrameSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  explicit FrameSchedule(Clock::duration interval) : interval_(interval) {}

  // None before the first frame: due at once.
  std::optional<Clock::time_point> nextDue() const { return nextDue_; }
  bool isDue(Clock::time_point now) const { return !nextDue_ || now >= *nextDue_; }
  void frameTaken(Clock::time_point now) {
    const bool onSchedule = nextDue_ && now - *nextDue_ < interval_;
    nextDue_ = (onSchedule ? *nextDue_ : now) + interval_;
  }
  // Nothing could be taken now (every picture still held downstream): look again an interval on.
  void postpone(Clock::time_point now) { nextDue_ = now + interval_; }

 private:
  const Clock::duration interval_;
  std::optional<Clock::time_point> nextDue_;
};

// How every capture loop ends a frame: a picture from the stream's pool, the consumer's pace when
// the stream is paced, and the hand-over to the stream's output. On the capture thread only.
class CaptureDelivery {
 public:
  using Clock = std::chrono::steady_clock;

  CaptureDelivery(const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> output);

  // Readable (an eventfd) after the consumer asked for a frame, for the loop's wait; -1 when the
  // stream is not paced. The loop drains it with takeWakeUp().
  int wakeDescriptor() const { return pacer_ ? pacer_->wakeDescriptor() : -1; }
  void takeWakeUp() const;
  bool paced() const { return pacer_ != nullptr; }
  // When a frame may be begun: any time unless paced (the clock's epoch); when paced, early enough
  // that a frame that waits `leadTime` before its preparation is ready when the consumer is free.
  Clock::time_point frameAllowedAt(Clock::duration leadTime = {}) const;
  // A picture nobody downstream holds, or none while every one is.
  std::shared_ptr<PixelBuffer> acquirePicture() { return pool_.acquire(); }
  // Hands the frame over; `preparedSince`: when the work on it began, for the pace's lead time.
  void deliver(std::shared_ptr<PixelBuffer> picture, double presentationTime, Clock::time_point preparedSince);

 private:
  const std::weak_ptr<ScreenCaptureStreamOutput> output_;
  PixelBufferPool pool_;
  const std::shared_ptr<FramePacer> pacer_;  // none when the stream is not paced
  Clock::duration preparation_{};            // a running average
};

}  // namespace velmora
