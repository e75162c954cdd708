#include "platform/virtual/virtual_capture_backend.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "platform/capture/capture_delivery.h"
#include "platform/capture/frame_stamp.h"
#include "platform/capture_loop_stream.h"
#include "platform/virtual/moving_picture.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

bool containsDisplay(const VirtualDisplaySource& source, std::uint32_t displayID) {
  const auto displayIDs = source.activeDisplayIDs();
  return std::find(displayIDs.begin(), displayIDs.end(), displayID) != displayIDs.end();
}

// Everything the delivery thread touches, shared with it: the stream may be destroyed on that
// very thread (an owner that lets go of it while handling a frame or a failure).
class DeliveryLoop : public CaptureLoop {
 public:
  DeliveryLoop(std::shared_ptr<const VirtualDisplaySource> source, const CaptureLoopSettings& settings,
               std::weak_ptr<ScreenCaptureStreamOutput> output, std::weak_ptr<ScreenCaptureStreamDelegate> delegate)
      : source_(std::move(source)),
        displayID_(settings.displayID),
        interval_(settings.minimumFrameInterval),
        showsCursor_(settings.showsCursor),
        delivery_(settings, std::move(output)),
        movingPicture_(settings.width, settings.height),
        delegate_(std::move(delegate)) {}

  void run() override {
    auto due = Clock::now();
    std::uint32_t frameNumber = 0;
    while (waitUntil(due)) {
      if (!containsDisplay(*source_, displayID_)) {
        if (const auto delegate = delegate_.lock()) {
          delegate->streamDidStopWithError("virtual display " + std::to_string(displayID_) + " was removed");
        }
        return;
      }
      deliverFrame(frameNumber);
      // A late loop skips the frames it missed instead of sending them in a burst; the frame
      // numbers in the stamps show the gap.
      const auto now = Clock::now();
      do {
        due += interval_;
        ++frameNumber;
      } while (due < now);
    }
  }

  void requestStop() override {
    {
      std::lock_guard lock(stopRequestedLock_);
      stopRequested_ = true;
    }
    stopRequestedChanged_.notify_all();
  }

 private:
  // False once a stop was requested.
  bool waitUntil(Clock::time_point due) {
    std::unique_lock lock(stopRequestedLock_);
    return !stopRequestedChanged_.wait_until(lock, due, [&] { return stopRequested_; });
  }

  void deliverFrame(std::uint32_t frameNumber) {
    // A paced stream looks for a request at each tick: its frame is rendered at once.
    const auto start = Clock::now();
    if (start < delivery_.frameAllowedAt()) {
      return;
    }
    auto picture = delivery_.acquirePicture();
    if (!picture) {
      return;  // every picture is still held downstream: this frame is dropped, as a platform would
    }
    movingPicture_.render(*picture, frameNumber);
    if (showsCursor_) {
      movingPicture_.drawCursor(*picture, frameNumber);
    }
    const auto captureTime = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch());
    drawFrameStamp(picture->luma(), picture->lumaStride(), picture->chroma(), picture->chromaStride(), picture->width(),
                   picture->height(), FrameStamp{frameNumber, static_cast<std::uint64_t>(captureTime.count())});
    delivery_.deliver(std::move(picture), static_cast<double>(captureTime.count()) / 1e6, start);
  }

  const std::shared_ptr<const VirtualDisplaySource> source_;
  const std::uint32_t displayID_;
  const Clock::duration interval_;
  const bool showsCursor_;
  CaptureDelivery delivery_;
  const MovingPicture movingPicture_;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate_;

  std::mutex stopRequestedLock_;
  std::condition_variable stopRequestedChanged_;
  bool stopRequested_ = false;
};

}  // namespace

VirtualCaptureBackend::VirtualCaptureBackend(std::shared_ptr<const VirtualDisplaySource> source) : source_(std::move(source)) {}

bool VirtualCaptureBackend::hasScreenCaptureAccess() { return true; }

bool VirtualCaptureBackend::requestScreenCaptureAccess() { return true; }

void VirtualCaptureBackend::listCapturableDisplays(CapturableDisplaysCompletion completion) {
  completion(CapturableDisplays{source_->activeDisplayIDs()});
}

std::shared_ptr<ScreenCaptureStream> VirtualCaptureBackend::makeStream(std::uint32_t displayID,
                                                                       const ScreenCaptureStreamConfiguration& configuration,
                                                                       std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
  return makeCaptureLoopStream(
      "virtual", displayID, configuration, std::move(delegate),
      [source = source_](const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> frameOutput,
                         std::weak_ptr<ScreenCaptureStreamDelegate> stopDelegate) -> Result<std::shared_ptr<CaptureLoop>> {
        if (!containsDisplay(*source, settings.displayID)) {
          return Result<std::shared_ptr<CaptureLoop>>::failure("virtual display " + std::to_string(settings.displayID) +
                                                               " is not available");
        }
        return std::shared_ptr<CaptureLoop>(
            std::make_shared<DeliveryLoop>(source, settings, std::move(frameOutput), std::move(stopDelegate)));
      },
      lingeringThreads_);
}

}  // namespace velmora
