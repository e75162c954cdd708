#include "control/pairing_throttle.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

using namespace std::chrono_literals;

class PairingThrottleTest : public ::testing::Test {
 protected:
  PairingThrottle throttle{PairingThrottle::Settings{}};
  PairingThrottle::Clock::time_point now{};

  std::optional<PairingThrottle::Duration> failTimes(int count, PairingThrottle::Duration apart = 1s) {
    std::optional<PairingThrottle::Duration> lockout;
    for (int i = 0; i < count; ++i) {
      now += apart;
      lockout = throttle.recordFailure(now);
    }
    return lockout;
  }
};

TEST_F(PairingThrottleTest, FifthWrongCodeWithinAMinuteLocksOutForThirtySeconds) {
  EXPECT_FALSE(failTimes(4).has_value());
  EXPECT_FALSE(throttle.remainingLockout(now).has_value());

  EXPECT_EQ(failTimes(1), PairingThrottle::Duration(30s));
  EXPECT_EQ(throttle.remainingLockout(now + 10s), PairingThrottle::Duration(20s));
  EXPECT_FALSE(throttle.remainingLockout(now + 30s).has_value());
}

TEST_F(PairingThrottleTest, FailuresSpreadBeyondTheWindowNeverLockOut) {
  EXPECT_FALSE(failTimes(20, 15s).has_value());
}

TEST_F(PairingThrottleTest, LockoutsInARowDoubleUpToFifteenMinutes) {
  std::vector<PairingThrottle::Duration> lockouts;
  for (int round = 0; round < 7; ++round) {
    lockouts.push_back(*failTimes(5));
    now += lockouts.back();
  }
  const std::vector<PairingThrottle::Duration> expected = {30s, 60s, 120s, 240s, 480s, 900s, 900s};
  EXPECT_EQ(lockouts, expected);
}

TEST_F(PairingThrottleTest, RightCodeStartsAfresh) {
  now += *failTimes(5);
  throttle.recordSuccess();
  EXPECT_FALSE(failTimes(4).has_value());
  EXPECT_EQ(failTimes(1), PairingThrottle::Duration(30s));
}

}  // namespace
}  // namespace velmora
