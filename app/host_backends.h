#pragma once

#include <functional>
#include <memory>

#include "app/command_line.h"
#include "platform/display_source.h"
#include "platform/input_backend.h"
#include "platform/main_queue.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"
#include "platform/video_encoder_backend.h"

namespace velmora {

// A running watch on the desktop's screens; dropping the last copy ends it.
using ScreenChangeWatch = std::shared_ptr<void>;
// Starts a watch that calls `onChange` on the main queue after each burst of screen changes.
using ScreenChangeWatchFactory =
    std::function<Result<ScreenChangeWatch>(MainQueue& mainQueue, std::function<void()> onChange)>;

// The platform services the host runs on: one backend family (a desktop, or displays of this
// process only) and the encoder.
struct HostBackends {
  std::shared_ptr<DisplaySource> displays;
  std::shared_ptr<ScreenCaptureBackend> capture;
  std::shared_ptr<InputBackend> input;
  VideoEncoderBackendFactory makeEncoderSession;
  // Empty where the displays change only when the host itself changes them.
  ScreenChangeWatchFactory watchScreenChanges;
};

// Opens the family that --backend names; "automatic" takes the first family, in the order listed
// in host_backends.cpp, that opens. Fails, with the reason, when the named family does not open.
Result<HostBackends> chooseHostBackends(const HostOptions& options);

}  // namespace velmora
