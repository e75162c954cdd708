#pragma once

#include <chrono>
#include <deque>
#include <optional>

namespace velmora {

// Limits guessing of the four-digit code: after `failureLimit` wrong codes within
// `failureWindow` (from any address), hellos that need a code are refused for `lockout`; each
// further lock-out in a row doubles, up to `maximumLockout`. A right code starts afresh.
// Used on the control server's queue only.
class PairingThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  using Duration = Clock::duration;

  struct Settings {
    int failureLimit = 5;
    Duration failureWindow = std::chrono::seconds(60);
    Duration lockout = std::chrono::seconds(30);
    Duration maximumLockout = std::chrono::minutes(15);
  };

  explicit PairingThrottle(Settings settings) : settings_(settings) {}

  // How long codes stay refused from `now`, or nothing when a code may be compared.
  std::optional<Duration> remainingLockout(Clock::time_point now) const;
  // Records a wrong code; returns the lock-out it started, if any.
  std::optional<Duration> recordFailure(Clock::time_point now);
  void recordSuccess();

 private:
  Settings settings_;
  std::deque<Clock::time_point> recentFailures_;
  int lockoutsInARow_ = 0;
  std::optional<Clock::time_point> lockedUntil_;
};

}  // namespace velmora
