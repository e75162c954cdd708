#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/lingering_threads.h"
#include "platform/pipewire/pipewire_capture_loop.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"

namespace velmora {

// What a desktop family supplies to capture through PipeWire: its session, whether it runs, which
// displays it records, and where a display's node is at each start of a stream (so that a session
// started again after a monitor change is followed). Shared with the streams it serves.
class PipeWireNodeSource {
 public:
  virtual ~PipeWireNodeSource() = default;
  virtual bool sessionRunning() = 0;
  virtual Result<CapturableDisplays> recordedDisplays() = 0;
  // On the thread that starts the stream; `what` ("display 3") names the display in errors.
  virtual Result<PipeWireSource> nodeOf(std::uint32_t displayID, const std::string& what) = 0;
};

// Capture of displays whose pictures come from the PipeWire nodes of a desktop session (mutter's
// screen casts, a desktop portal's streams). No dialog is involved past the session's own start:
// access is the session running.
class PipeWireCaptureBackend : public ScreenCaptureBackend {
 public:
  // `platformName` ("GNOME") names the desktop in the streams' refusals.
  PipeWireCaptureBackend(std::string platformName, std::shared_ptr<PipeWireNodeSource> nodes);

  bool hasScreenCaptureAccess() final;
  bool requestScreenCaptureAccess() final;
  void listCapturableDisplays(CapturableDisplaysCompletion completion) final;
  std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID,
                                                  const ScreenCaptureStreamConfiguration& configuration,
                                                  std::weak_ptr<ScreenCaptureStreamDelegate> delegate) final;

 private:
  const std::string platformName_;
  const std::shared_ptr<PipeWireNodeSource> nodes_;
  const std::shared_ptr<LingeringThreads> lingeringThreads_ = std::make_shared<LingeringThreads>();
};

}  // namespace velmora
