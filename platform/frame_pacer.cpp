#include "platform/frame_pacer.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace velmora {

std::shared_ptr<FramePacer> FramePacer::create() { return std::make_shared<FramePacer>(PrivateTag{}); }

// Without an eventfd (descriptors exhausted) a waiting stream sees a request at its next timeout.
FramePacer::FramePacer(PrivateTag) : wakeDescriptor_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void FramePacer::takeWakeUp() const {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto read = ::read(wakeDescriptor_.get(), &count, sizeof count);
}

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
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wakeDescriptor_.get(), &one, sizeof one);
}

}  // namespace velmora
