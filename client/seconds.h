#pragma once

#include <chrono>
#include <cmath>
#include <optional>

namespace velmora {

// The longest wait a command line or a script may ask for (about eleven days); it keeps every
// deadline far from overflowing the clock.
inline constexpr double kMaximumSeconds = 1e6;

// Seconds as given by a user, rounded up to whole milliseconds so that a tiny positive value
// never becomes "no wait at all"; nothing for negative, non-finite or too large values.
inline std::optional<std::chrono::milliseconds> durationFromSeconds(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > kMaximumSeconds) {
    return std::nullopt;
  }
  return std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(seconds));
}

}  // namespace velmora
