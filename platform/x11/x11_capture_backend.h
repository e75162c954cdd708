#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/lingering_threads.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"
#include "platform/x11/x11_connection.h"

namespace velmora {

// Capture of the RandR monitors of an X screen, numbered as X11DisplaySource numbers them. Each
// stream grabs its monitor's area on a connection and thread of its own (MIT-SHM, else plain
// GetImage), draws the cursor from XFixes, scales to the configured size and converts to NV12.
// A still screen yields no frames after the first: XDamage and the pointer position decide when
// to grab. X has no capture permission: access is granted while the server can be reached.
class X11CaptureBackend : public ScreenCaptureBackend {
  struct PrivateTag {};

 public:
  // Fails when the display cannot be opened or has no RandR 1.5.
  static Result<std::shared_ptr<X11CaptureBackend>> open(const std::string& displayName = {});

  X11CaptureBackend(PrivateTag, X11Connection connection);

  bool hasScreenCaptureAccess() override;
  bool requestScreenCaptureAccess() override;
  void listCapturableDisplays(CapturableDisplaysCompletion completion) override;
  std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration,
                                                  std::weak_ptr<ScreenCaptureStreamDelegate> delegate) override;

 private:
  const std::string displayName_;  // as the server knows it, so that streams reach the same one
  // Start tasks of several streams may ask for the content at once, each on its own thread.
  std::mutex connectionLock_;
  X11Connection connection_;
  const std::shared_ptr<LingeringThreads> lingeringThreads_ = std::make_shared<LingeringThreads>();
};

}  // namespace velmora
