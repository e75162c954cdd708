#include "control/pairing_throttle.h"

#include <algorithm>

namespace velmora {

std::optional<PairingThrottle::Duration> PairingThrottle::remainingLockout(Clock::time_point now) const {
  if (!lockedUntil_ || now >= *lockedUntil_) {
    return std::nullopt;
  }
  return *lockedUntil_ - now;
}

std::optional<PairingThrottle::Duration> PairingThrottle::recordFailure(Clock::time_point now) {
  recentFailures_.push_back(now);
  while (!recentFailures_.empty() && now - recentFailures_.front() >= settings_.failureWindow) {
    recentFailures_.pop_front();
  }
  if (static_cast<int>(recentFailures_.size()) < settings_.failureLimit) {
    return std::nullopt;
  }
  recentFailures_.clear();
  auto lockout = settings_.lockout;
  for (int doubling = 0; doubling < lockoutsInARow_ && lockout < settings_.maximumLockout; ++doubling) {
    lockout *= 2;
  }
  lockout = std::min(lockout, settings_.maximumLockout);
  ++lockoutsInARow_;
  lockedUntil_ = now + lockout;
  return lockout;
}

void PairingThrottle::recordSuccess() {
  recentFailures_.clear();
  lockoutsInARow_ = 0;
  lockedUntil_.reset();
}

}  // namespace velmora
