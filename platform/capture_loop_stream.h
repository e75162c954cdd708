#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/lingering_threads.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"

namespace velmora {

// A stream's configuration as a capture thread uses it: checked, made even and clamped.
struct CaptureLoopSettings {
  std::uint32_t displayID = 0;
  int width = 0;   // of the delivered pictures: even
  int height = 0;  // even
  std::chrono::steady_clock::duration minimumFrameInterval{};
  bool showsCursor = true;
  std::size_t pictureCount = 3;  // pictures that may be held downstream at once
  bool pacedByConsumer = false;  // see ScreenCaptureStreamConfiguration
};

// One display's capture, run on a thread of its own until asked to stop.
class CaptureLoop {
 public:
  virtual ~CaptureLoop() = default;
  // Returns when a stop was requested, or once the capture ended and its delegate was told why.
  virtual void run() = 0;
  // Any thread; run() returns soon after.
  virtual void requestStop() = 0;
};

using CaptureLoopFactory = std::function<Result<std::shared_ptr<CaptureLoop>>(
    const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> output,
    std::weak_ptr<ScreenCaptureStreamDelegate> delegate)>;

// A stream that makes a CaptureLoop at each start and runs it on a thread of its own, stopped and
// joined at each stop (or, when the stream is dropped on that very thread, left to end by itself
// and handed to `lingering`, the backend's). `platformName` ("X11") names the backend in the
// stream's refusals.
std::shared_ptr<ScreenCaptureStream> makeCaptureLoopStream(std::string platformName, std::uint32_t displayID,
                                                           const ScreenCaptureStreamConfiguration& configuration,
                                                           std::weak_ptr<ScreenCaptureStreamDelegate> delegate,
                                                           CaptureLoopFactory makeLoop,
                                                           std::shared_ptr<LingeringThreads> lingering);

}  // namespace velmora
