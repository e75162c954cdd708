#pragma once

#include <memory>

#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/lingering_threads.h"
#include "platform/screen_capture_backend.h"

namespace velmora {

// Capture of mutter's monitors: each stream consumes the PipeWire node of its monitor's screen
// cast in the remote desktop session, looked up at each start so that a session started again
// after a monitor change is followed. No dialog is involved: access is the session running.
class MutterCaptureBackend : public ScreenCaptureBackend {
 public:
  explicit MutterCaptureBackend(std::shared_ptr<MutterRemoteDesktop> session);

  bool hasScreenCaptureAccess() override;
  bool requestScreenCaptureAccess() override;
  void listCapturableDisplays(CapturableDisplaysCompletion completion) override;
  std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID,
                                                  const ScreenCaptureStreamConfiguration& configuration,
                                                  std::weak_ptr<ScreenCaptureStreamDelegate> delegate) override;

 private:
  const std::shared_ptr<MutterRemoteDesktop> session_;
  const std::shared_ptr<LingeringThreads> lingeringThreads_ = std::make_shared<LingeringThreads>();
};

}  // namespace velmora
