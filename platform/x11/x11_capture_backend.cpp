#include "platform/x11/x11_capture_backend.h"

#include <X11/Xlib.h>

#include "platform/x11/x11_grab_loop.h"
#include "platform/x11/x11_monitors.h"

namespace velmora {

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
  return makeCaptureLoopStream(
      "X11", displayID, configuration, std::move(delegate),
      [displayName = displayName_](const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> frameOutput,
                                   std::weak_ptr<ScreenCaptureStreamDelegate> stopDelegate) -> Result<std::shared_ptr<CaptureLoop>> {
        auto loop = X11GrabLoop::create(displayName, settings, std::move(frameOutput), std::move(stopDelegate));
        if (!loop) {
          return Result<std::shared_ptr<CaptureLoop>>::failure(loop.error());
        }
        return std::shared_ptr<CaptureLoop>(std::move(loop.value()));
      },
      lingeringThreads_);
}

}  // namespace velmora
