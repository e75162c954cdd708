#include "platform/capture_loop_stream.h"

#include <algorithm>
#include <mutex>
#include <thread>

namespace velmora {
namespace {

constexpr std::int64_t kMaximumSide = 8192;
constexpr double kShortestFrameInterval = 1.0 / 240;  // seconds; a faster rate only burns the CPU
constexpr double kLongestFrameInterval = 3600;
constexpr double kDefaultFrameInterval = 1.0 / 60;  // when no valid minimum was given
constexpr int kMaximumPictureCount = 8;

std::chrono::steady_clock::duration frameInterval(const MediaTime& minimum) {
  double seconds = kDefaultFrameInterval;
  if (minimum.timescale > 0 && minimum.value > 0) {
    seconds = static_cast<double>(minimum.value) / minimum.timescale;
  }
  seconds = std::clamp(seconds, kShortestFrameInterval, kLongestFrameInterval);
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
}

class CaptureLoopStream : public ScreenCaptureStream {
 public:
  CaptureLoopStream(std::string platformName, std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration,
                    std::weak_ptr<ScreenCaptureStreamDelegate> delegate, CaptureLoopFactory makeLoop,
                    std::shared_ptr<LingeringThreads> lingering)
      : platformName_(std::move(platformName)),
        displayID_(displayID),
        configuration_(configuration),
        delegate_(std::move(delegate)),
        makeLoop_(std::move(makeLoop)),
        lingering_(std::move(lingering)) {}

  ~CaptureLoopStream() override { endCapture(); }

  CaptureLoopStream(const CaptureLoopStream&) = delete;
  CaptureLoopStream& operator=(const CaptureLoopStream&) = delete;

  std::optional<std::string> addStreamOutput(std::weak_ptr<ScreenCaptureStreamOutput> output, SampleOutputType type) override {
    if (type != SampleOutputType::screen) {
      return platformName_ + " capture has no audio";
    }
    std::lock_guard lock(captureLock_);
    if (loop_) {
      return "outputs cannot be added to a running " + platformName_ + " capture";
    }
    output_ = std::move(output);
    return std::nullopt;
  }

  void startCapture(Completion completion) override { completion(beginCapture()); }

  void stopCapture(Completion completion) override {
    endCapture();
    completion(std::nullopt);
  }

 private:
  std::optional<std::string> beginCapture() {
    if (configuration_.pixelFormat != kPixelFormat420v) {
      return platformName_ + " capture supports only the 420v pixel format";
    }
    // NV12 needs even sizes: an odd side loses its last row or column.
    const std::int64_t width = configuration_.width & ~std::int64_t{1};
    const std::int64_t height = configuration_.height & ~std::int64_t{1};
    if (width < 2 || height < 2 || width > kMaximumSide || height > kMaximumSide) {
      return "unsupported " + platformName_ + " capture size " + std::to_string(configuration_.width) + "x" +
             std::to_string(configuration_.height);
    }
    const CaptureLoopSettings settings{displayID_,
                                       static_cast<int>(width),
                                       static_cast<int>(height),
                                       frameInterval(configuration_.minimumFrameInterval),
                                       configuration_.showsCursor,
                                       static_cast<std::size_t>(std::clamp(configuration_.queueDepth, 1, kMaximumPictureCount)),
                                       configuration_.pacedByConsumer};
    std::weak_ptr<ScreenCaptureStreamOutput> output;
    {
      std::lock_guard lock(captureLock_);
      if (loop_) {
        return "the " + platformName_ + " capture is already running";
      }
      output = output_;
    }
    auto loop = makeLoop_(settings, std::move(output), delegate_);
    if (!loop) {
      return loop.error();
    }
    std::lock_guard lock(captureLock_);
    if (loop_) {
      return "the " + platformName_ + " capture is already running";
    }
    loop_ = std::move(loop.value());
    threadEnd_ = std::make_shared<LingeringThreads::EndMark>();
    thread_ = std::thread([loop = loop_, end = threadEnd_]() mutable {
      loop->run();
      loop.reset();  // the loop's connection is closed before the thread counts as ended
      end->ended();
    });
    return std::nullopt;
  }

  // After this no frame is delivered any more, unless it is called on the capture thread itself,
  // where the frame being handled is the last one.
  void endCapture() {
    std::shared_ptr<CaptureLoop> loop;
    std::thread thread;
    std::shared_ptr<LingeringThreads::EndMark> threadEnd;
    {
      std::lock_guard lock(captureLock_);
      loop = std::move(loop_);
      thread = std::move(thread_);
      threadEnd = std::move(threadEnd_);
    }
    if (loop) {
      loop->requestStop();
    }
    if (thread.joinable()) {
      if (thread.get_id() == std::this_thread::get_id()) {
        lingering_->adopt(std::move(thread), std::move(threadEnd));  // it holds the loop and ends by itself
      } else {
        thread.join();
      }
    }
  }

  const std::string platformName_;
  const std::uint32_t displayID_;
  const ScreenCaptureStreamConfiguration configuration_;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate_;
  const CaptureLoopFactory makeLoop_;
  const std::shared_ptr<LingeringThreads> lingering_;

  std::mutex captureLock_;  // guards the output and the loop with its thread and its end mark
  std::weak_ptr<ScreenCaptureStreamOutput> output_;
  std::shared_ptr<CaptureLoop> loop_;
  std::thread thread_;
  std::shared_ptr<LingeringThreads::EndMark> threadEnd_;  // of thread_
};

}  // namespace

std::shared_ptr<ScreenCaptureStream> makeCaptureLoopStream(std::string platformName, std::uint32_t displayID,
                                                           const ScreenCaptureStreamConfiguration& configuration,
                                                           std::weak_ptr<ScreenCaptureStreamDelegate> delegate,
                                                           CaptureLoopFactory makeLoop,
                                                           std::shared_ptr<LingeringThreads> lingering) {
  return std::make_shared<CaptureLoopStream>(std::move(platformName), displayID, configuration, std::move(delegate),
                                             std::move(makeLoop), std::move(lingering));
}

}  // namespace velmora
