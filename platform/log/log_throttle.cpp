#include "platform/log/log_throttle.h"

#include <utility>

namespace velmora::log {

bool WindowThrottle::admit(Clock::time_point now) {
  std::lock_guard lock(countsLock_);
  if (!windowStart_ || now - *windowStart_ >= window_) {
    windowStart_ = now;
    admittedInWindow_ = 0;
  }
  if (admittedInWindow_ >= perWindow_) {
    return false;
  }
  ++admittedInWindow_;
  return true;
}

void WindowThrottle::countSuppressed() {
  std::lock_guard lock(countsLock_);
  ++suppressed_;
}

std::uint64_t WindowThrottle::takeSuppressed() {
  std::lock_guard lock(countsLock_);
  return std::exchange(suppressed_, 0);
}

}  // namespace velmora::log
