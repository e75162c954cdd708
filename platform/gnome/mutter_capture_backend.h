#pragma once

#include <memory>

#include "platform/gnome/mutter_remote_desktop.h"
#include "platform/pipewire/pipewire_capture_backend.h"

namespace velmora {

// Capture of mutter's monitors: each stream consumes the PipeWire node of its monitor's screen
// cast in the remote desktop session.
class MutterCaptureBackend : public PipeWireCaptureBackend {
 public:
  explicit MutterCaptureBackend(std::shared_ptr<MutterRemoteDesktop> session);
};

}  // namespace velmora
