#include "video/frame_stage_log.h"

#include <algorithm>
#include <cmath>

namespace velmora {
namespace {

std::optional<double> median(std::vector<double>& samples) {
  if (samples.empty()) {
    return std::nullopt;
  }
  const std::size_t middle = samples.size() / 2;
  std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(middle), samples.end());
  if (samples.size() % 2 == 1) {
    return samples[middle];
  }
  const double below = *std::max_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(middle));
  return (below + samples[middle]) / 2;
}

}  // namespace

void FrameStageLog::record(Stage stage, double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) {
    return;
  }
  std::lock_guard lock(samplesLock_);
  samples_[stage].push_back(seconds * 1000);
}

std::optional<FrameStageLog::Summary> FrameStageLog::takeSummary(std::optional<Clock::time_point> now) {
  std::array<std::vector<double>, stageCount> taken;
  {
    std::lock_guard lock(samplesLock_);
    if (now) {
      if (!intervalStart_) {
        intervalStart_ = now;
      }
      if (*now - *intervalStart_ < interval_) {
        return std::nullopt;
      }
    }
    intervalStart_ = now;
    taken.swap(samples_);
  }
  // Sorted outside the lock, so that the capture thread never waits for it.
  Summary summary;
  summary.frames = taken[sending].size();
  if (summary.frames == 0) {
    return std::nullopt;
  }
  for (std::size_t stage = 0; stage < stageCount; ++stage) {
    summary.medianMilliseconds[stage] = median(taken[stage]);
  }
  return summary;
}

}  // namespace velmora
