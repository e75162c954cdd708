#include "platform/virtual/virtual_capture_backend.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "platform/frame_pacer.h"
#include "platform/virtual/frame_stamp.h"
#include "platform/virtual/pixel_buffer_pool.h"
#include "platform/virtual/moving_picture.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMaximumSide = 8192;
constexpr double kShortestFrameInterval = 1.0 / 240;  // seconds; a faster rate only burns the CPU
constexpr double kLongestFrameInterval = 3600;
constexpr double kDefaultFrameInterval = 1.0 / 60;  // when no valid minimum was given
constexpr int kMaximumPoolSize = 8;

bool containsDisplay(const VirtualDisplaySource& source, std::uint32_t displayID) {
  const auto displayIDs = source.activeDisplayIDs();
  return std::find(displayIDs.begin(), displayIDs.end(), displayID) != displayIDs.end();
}

Clock::duration frameInterval(const MediaTime& minimum) {
  double seconds = kDefaultFrameInterval;
  if (minimum.timescale > 0 && minimum.value > 0) {
    seconds = static_cast<double>(minimum.value) / minimum.timescale;
  }
  seconds = std::clamp(seconds, kShortestFrameInterval, kLongestFrameInterval);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Everything the delivery thread touches, shared with it: the stream may be destroyed on that
// very thread (an owner that lets go of it while handling a frame or a failure).
class DeliveryLoop {
 public:
  DeliveryLoop(std::shared_ptr<const VirtualDisplaySource> source, std::uint32_t displayID, int width, int height,
               const ScreenCaptureStreamConfiguration& configuration, std::weak_ptr<ScreenCaptureStreamOutput> output,
               std::weak_ptr<ScreenCaptureStreamDelegate> delegate)
      : source_(std::move(source)),
        displayID_(displayID),
        interval_(frameInterval(configuration.minimumFrameInterval)),
        showsCursor_(configuration.showsCursor),
        pool_(width, height, static_cast<std::size_t>(std::clamp(configuration.queueDepth, 1, kMaximumPoolSize))),
        pacer_(configuration.pacedByConsumer ? FramePacer::create() : nullptr),
        movingPicture_(width, height),
        output_(std::move(output)),
        delegate_(std::move(delegate)) {}

  void run() {
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

  void requestStop() {
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
    if (pacer_ && Clock::now() < pacer_->nextFrameAllowedAt({})) {
      return;
    }
    auto picture = pool_.acquire();
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

    SampleBuffer sampleBuffer;
    sampleBuffer.pixelBuffer = std::move(picture);
    sampleBuffer.presentationTime = static_cast<double>(captureTime.count()) / 1e6;
    if (pacer_) {
      sampleBuffer.requestNextFrame = pacer_->frameDelivered(Clock::now());
    }
    if (const auto output = output_.lock()) {
      output->streamDidOutputSampleBuffer(sampleBuffer, SampleOutputType::screen);
    }
  }

  const std::shared_ptr<const VirtualDisplaySource> source_;
  const std::uint32_t displayID_;
  const Clock::duration interval_;
  const bool showsCursor_;
  PixelBufferPool pool_;
  const std::shared_ptr<FramePacer> pacer_;  // none when the stream is not paced
  const MovingPicture movingPicture_;
  const std::weak_ptr<ScreenCaptureStreamOutput> output_;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate_;

  std::mutex stopRequestedLock_;
  std::condition_variable stopRequestedChanged_;
  bool stopRequested_ = false;
};

class VirtualCaptureStream : public ScreenCaptureStream {
 public:
  VirtualCaptureStream(std::shared_ptr<const VirtualDisplaySource> source, std::uint32_t displayID,
                       const ScreenCaptureStreamConfiguration& configuration, std::weak_ptr<ScreenCaptureStreamDelegate> delegate)
      : source_(std::move(source)), displayID_(displayID), configuration_(configuration), delegate_(std::move(delegate)) {}

  ~VirtualCaptureStream() override { endDelivery(); }

  VirtualCaptureStream(const VirtualCaptureStream&) = delete;
  VirtualCaptureStream& operator=(const VirtualCaptureStream&) = delete;

  std::optional<std::string> addStreamOutput(std::weak_ptr<ScreenCaptureStreamOutput> output, SampleOutputType type) override {
    if (type != SampleOutputType::screen) {
      return "a virtual display has no audio";
    }
    std::lock_guard lock(deliveryLock_);
    if (delivery_) {
      return "outputs cannot be added to a running virtual capture";
    }
    output_ = std::move(output);
    return std::nullopt;
  }

  void startCapture(Completion completion) override { completion(startDelivery()); }

  void stopCapture(Completion completion) override {
    endDelivery();
    completion(std::nullopt);
  }

 private:
  std::optional<std::string> startDelivery() {
    if (configuration_.pixelFormat != kPixelFormat420v) {
      return "virtual capture supports only the 420v pixel format";
    }
    // NV12 needs even sizes: an odd side loses its last row or column.
    const std::int64_t width = configuration_.width & ~std::int64_t{1};
    const std::int64_t height = configuration_.height & ~std::int64_t{1};
    if (width < 2 || height < 2 || width > kMaximumSide || height > kMaximumSide) {
      return "unsupported virtual capture size " + std::to_string(configuration_.width) + "x" +
             std::to_string(configuration_.height);
    }
    if (!containsDisplay(*source_, displayID_)) {
      return "virtual display " + std::to_string(displayID_) + " is not available";
    }
    std::lock_guard lock(deliveryLock_);
    if (delivery_) {
      return "the virtual capture is already running";
    }
    delivery_ = std::make_shared<DeliveryLoop>(source_, displayID_, static_cast<int>(width), static_cast<int>(height),
                                               configuration_, output_, delegate_);
    deliveryThread_ = std::thread([delivery = delivery_] { delivery->run(); });
    return std::nullopt;
  }

  // After this no frame is delivered any more, unless it is called on the delivery thread
  // itself, where the frame being handled is the last one.
  void endDelivery() {
    std::shared_ptr<DeliveryLoop> delivery;
    std::thread deliveryThread;
    {
      std::lock_guard lock(deliveryLock_);
      delivery = std::move(delivery_);
      deliveryThread = std::move(deliveryThread_);
    }
    if (delivery) {
      delivery->requestStop();
    }
    if (deliveryThread.joinable()) {
      if (deliveryThread.get_id() == std::this_thread::get_id()) {
        deliveryThread.detach();
      } else {
        deliveryThread.join();
      }
    }
  }

  const std::shared_ptr<const VirtualDisplaySource> source_;
  const std::uint32_t displayID_;
  const ScreenCaptureStreamConfiguration configuration_;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate_;

  std::mutex deliveryLock_;  // guards the output and the delivery loop with its thread
  std::weak_ptr<ScreenCaptureStreamOutput> output_;
  std::shared_ptr<DeliveryLoop> delivery_;
  std::thread deliveryThread_;
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
  return std::make_shared<VirtualCaptureStream>(source_, displayID, configuration, std::move(delegate));
}

}  // namespace velmora
