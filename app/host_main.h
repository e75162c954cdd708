#pragma once

#include <functional>
#include <memory>

#include "platform/display_source.h"
#include "platform/input_backend.h"
#include "platform/main_queue.h"
#include "platform/screen_capture_backend.h"
#include "platform/video_encoder_backend.h"

namespace velmora {

class StatusBarController;

// The platform services the host runs on: the X11 desktop, or displays of this process only, and
// the encoder.
struct HostBackends {
  std::shared_ptr<DisplaySource> displays;
  std::shared_ptr<ScreenCaptureBackend> capture;
  std::shared_ptr<InputBackend> input;
  VideoEncoderBackendFactory makeEncoderSession;
  bool isX11 = false;
};

// What a build of the host made for fault testing changes; velmora-host itself changes nothing.
struct HostCustomization {
  // Called once the backends are chosen, before anything uses them.
  std::function<void(HostBackends& backends)> adjustBackends;
  // Called on the main thread once the controller exists and its server started.
  std::function<void(MainQueue& mainQueue, std::shared_ptr<StatusBarController> controller)> controllerStarted;
};

// velmora-host: parses the command line and runs the host until it quits; the exit status.
int hostMain(int argc, char** argv, const HostCustomization& customization = {});

}  // namespace velmora
