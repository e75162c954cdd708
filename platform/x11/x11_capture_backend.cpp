#include "platform/x11/x11_capture_backend.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/x11/x11_grab_loop.h"
#include "platform/x11/x11_monitors.h"

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

class X11CaptureStream : public ScreenCaptureStream {
 public:
  X11CaptureStream(std::string displayName, std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration,
                   std::weak_ptr<ScreenCaptureStreamDelegate> delegate)
      : displayName_(std::move(displayName)), displayID_(displayID), configuration_(configuration), delegate_(std::move(delegate)) {}

  ~X11CaptureStream() override { endGrabbing(); }

  X11CaptureStream(const X11CaptureStream&) = delete;
  X11CaptureStream& operator=(const X11CaptureStream&) = delete;

  std::optional<std::string> addStreamOutput(std::weak_ptr<ScreenCaptureStreamOutput> output, SampleOutputType type) override {
    if (type != SampleOutputType::screen) {
      return "X11 capture has no audio";
    }
    std::lock_guard lock(grabbingLock_);
    if (grabLoop_) {
      return "outputs cannot be added to a running X11 capture";
    }
    output_ = std::move(output);
    return std::nullopt;
  }

  void startCapture(Completion completion) override { completion(startGrabbing()); }

  void stopCapture(Completion completion) override {
    endGrabbing();
    completion(std::nullopt);
  }

 private:
  std::optional<std::string> startGrabbing() {
    if (configuration_.pixelFormat != kPixelFormat420v) {
      return "X11 capture supports only the 420v pixel format";
    }
    // NV12 needs even sizes: an odd side loses its last row or column.
    const std::int64_t width = configuration_.width & ~std::int64_t{1};
    const std::int64_t height = configuration_.height & ~std::int64_t{1};
    if (width < 2 || height < 2 || width > kMaximumSide || height > kMaximumSide) {
      return "unsupported capture size " + std::to_string(configuration_.width) + "x" + std::to_string(configuration_.height);
    }
    const X11GrabSettings settings{displayID_,
                                   static_cast<int>(width),
                                   static_cast<int>(height),
                                   frameInterval(configuration_.minimumFrameInterval),
                                   configuration_.showsCursor,
                                   static_cast<std::size_t>(std::clamp(configuration_.queueDepth, 1, kMaximumPictureCount)),
                                   configuration_.pacedByConsumer};
    std::weak_ptr<ScreenCaptureStreamOutput> output;
    {
      std::lock_guard lock(grabbingLock_);
      if (grabLoop_) {
        return "the X11 capture is already running";
      }
      output = output_;
    }
    auto grabLoop = X11GrabLoop::create(displayName_, settings, std::move(output), delegate_);
    if (!grabLoop) {
      return grabLoop.error();
    }
    std::lock_guard lock(grabbingLock_);
    if (grabLoop_) {
      return "the X11 capture is already running";
    }
    grabLoop_ = std::move(grabLoop.value());
    grabThread_ = std::thread([grabLoop = grabLoop_] { grabLoop->run(); });
    return std::nullopt;
  }

  // After this no frame is delivered any more, unless it is called on the grab thread itself,
  // where the frame being handled is the last one.
  void endGrabbing() {
    std::shared_ptr<X11GrabLoop> grabLoop;
    std::thread grabThread;
    {
      std::lock_guard lock(grabbingLock_);
      grabLoop = std::move(grabLoop_);
      grabThread = std::move(grabThread_);
    }
    if (grabLoop) {
      grabLoop->requestStop();
    }
    if (grabThread.joinable()) {
      if (grabThread.get_id() == std::this_thread::get_id()) {
        grabThread.detach();
      } else {
        grabThread.join();
      }
    }
  }

  const std::string displayName_;
  const std::uint32_t displayID_;
  const ScreenCaptureStreamConfiguration configuration_;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate_;

  std::mutex grabbingLock_;  // guards the output and the grab loop with its thread
  std::weak_ptr<ScreenCaptureStreamOutput> output_;
  std::shared_ptr<X11GrabLoop> grabLoop_;
  std::thread grabThread_;
};

}  // namespace

Result<std::shared_ptr<X11CaptureBackend>> X11CaptureBackend::open(const std::string& displayName) {
  auto connection = openX11Connection(displayName);
  if (!connection) {
    return Result<std::shared_ptr<X11CaptureBackend>>::failure(connection.error());
  }
  if (const auto monitors = readX11Monitors(connection.value().get()); !monitors) {
    return Result<std::shared_ptr<X11CaptureBackend>>::failure(monitors.error());
  }
  return std::make_shared<X11CaptureBackend>(PrivateTag{}, std::move(connection.value()));
}

X11CaptureBackend::X11CaptureBackend(PrivateTag, X11Connection connection)
    : displayName_(DisplayString(connection.get())), connection_(std::move(connection)) {}

bool X11CaptureBackend::hasScreenCaptureAccess() {
  // X asks nobody's permission: the screen can be captured for as long as the server is there.
  std::lock_guard lock(connectionLock_);
  XSync(connection_.get(), False);
  return !x11ConnectionLost(connection_.get());
}

bool X11CaptureBackend::requestScreenCaptureAccess() { return hasScreenCaptureAccess(); }

void X11CaptureBackend::listCapturableDisplays(CapturableDisplaysCompletion completion) {
  Result<std::vector<X11Monitor>> monitors = [&] {
    std::lock_guard lock(connectionLock_);
    return readX11Monitors(connection_.get());
  }();
  if (!monitors) {
    completion(Result<CapturableDisplays>::failure(monitors.error()));
    return;
  }
  CapturableDisplays content;
  for (const auto& monitor : monitors.value()) {
    content.displayIDs.push_back(monitor.displayID);
  }
  completion(std::move(content));
}

std::shared_ptr<ScreenCaptureStream> X11CaptureBackend::makeStream(std::uint32_t displayID,
                                                                   const ScreenCaptureStreamConfiguration& configuration,
                                                                   std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
  return std::make_shared<X11CaptureStream>(displayName_, displayID, configuration, std::move(delegate));
}

}  // namespace velmora
