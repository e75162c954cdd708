#pragma once

#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

namespace velmora::log {

// Lines that could repeat with every frame or datagram are throttled alike: the first few
// occurrences (counted from 1; three frames, five send calls), then every 300th.
template <std::integral Count>
constexpr bool isLoggedOccurrence(Count count, Count loggedAtStart = 3) {
  return count <= loggedAtStart || count % 300 == 0;
}

// At most `perWindow` admissions in a window that opens with the first admission after the
// last one closed; what is refused meanwhile can be counted and reported with the next line.
// Thread-safe.
class WindowThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  WindowThrottle(std::size_t perWindow, Clock::duration window) : perWindow_(perWindow), window_(window) {}

  bool admit(Clock::time_point now);
  void countSuppressed();
  std::uint64_t takeSuppressed();

 private:
  const std::size_t perWindow_;
  const Clock::duration window_;
  std::mutex countsLock_;
  std::optional<Clock::time_point> windowStart_;
  std::size_t admittedInWindow_ = 0;
  std::uint64_t suppressed_ = 0;
};

}  // namespace velmora::log
