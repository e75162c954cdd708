#include "platform/frame_pacer.h"

#include <algorithm>
#include <cstdint>

namespace velmora {

std::shared_ptr<FramePacer> FramePacer::create() { return std::make_shared<FramePacer>(PrivateTag{}); }

FramePacer::FramePacer(PrivateTag) {}

void FramePacer::takeWakeUp() const { wakeEvent_.drain(); }

FramePacer::Clock::time_point FramePacer::nextFrameAllowedAt(Clock::duration leadTime) const {
  std::lock_guard lock(timesLock_);
  return wantedAt_ ? *wantedAt_ - leadTime : lastDelivery_ + kUnansweredTimeout;
}

NextFrameRequest FramePacer::frameDelivered(Clock::time_point now) {
  {
    std::lock_guard lock(timesLock_);
    wantedAt_.reset();
    lastDelivery_ = now;
  }
  return [weakPacer = weak_from_this()](Clock::time_point readyAt) {
    if (const auto pacer = weakPacer.lock()) {
      pacer->request(readyAt);
    }
  };
}

void FramePacer::request(Clock::time_point readyAt) {
  {
    std::lock_guard lock(timesLock_);
    wantedAt_ = std::min(wantedAt_.value_or(readyAt), readyAt);
  }
  wakeEvent_.signal();
}

}  // namespace velmora
