#include "platform/desktop/pointer_policy.h"

#include <algorithm>
#include <utility>

namespace velmora {

std::int32_t clampedScrollLines(std::int32_t wheel) { return std::clamp(wheel, -kMostScrollLines, kMostScrollLines); }

std::int32_t axisSteps(std::int32_t wheel) { return -clampedScrollLines(wheel); }

void HeldButtons::note(std::uint32_t button, bool down) {
  const auto held = std::find(held_.begin(), held_.end(), button);
  if (down && held == held_.end()) {
    held_.push_back(button);
  } else if (!down && held != held_.end()) {
    held_.erase(held);
  }
}

std::vector<std::uint32_t> HeldButtons::releaseAll() { return std::exchange(held_, {}); }

}  // namespace velmora
