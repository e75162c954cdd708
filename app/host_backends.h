#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/desktop_loss_signal.h"
#include "platform/display_source.h"
#include "platform/input_backend.h"
#include "platform/main_queue.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"
#include "platform/user_defaults.h"
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
  // Reports that the desktop went away; null where it cannot (displays of this process only).
  std::shared_ptr<DesktopLossSignal> desktopLoss = nullptr;
  // What watches the desktop where nothing else holds it (a bus name watch, a connection to the
  // compositor). It reports through the signals, and goes with the backends, on the main thread.
  std::shared_ptr<void> desktopWatch = nullptr;
  // Reports that the desktop or its user ended the sharing (the portal closed its session): the
  // host quits rather than open it again. Null where only the host ends it.
  std::shared_ptr<DesktopLossSignal> sharingEnded = nullptr;
  // The family that opened them: the one to open again when the desktop comes back.
  Backend family = Backend::automatic;
};

// One way of opening the platform services, named by --backend.
struct BackendFamily {
  Backend backend;
  std::string description;
  bool forWaylandSessions = false;
  std::function<Result<HostBackends>(const HostOptions& options, UserDefaults& userDefaults)> open;
};

// The families of this build, in the order "automatic" tries them.
std::vector<BackendFamily> hostBackendFamilies();

// Whether the desktop is a Wayland session, from $WAYLAND_DISPLAY and $XDG_SESSION_TYPE (null when unset).
bool isWaylandSession(const char* waylandDisplay, const char* sessionType);

// Opens the family that --backend names; "automatic" takes the first family that opens. In a
// Wayland session only the Wayland families count (X11 there is XWayland, which shows and drives
// X11 windows only), then virtual displays if --virtual-displays asked for them. Fails, with the
// reason, when the named family, or every family tried, does not open. `userDefaults` is the
// process's one store, for families that keep something there.
Result<HostBackends> chooseHostBackends(const HostOptions& options, UserDefaults& userDefaults, bool waylandSession,
                                        const std::vector<BackendFamily>& families);
// The same for this process's environment and this build's families.
Result<HostBackends> chooseHostBackends(const HostOptions& options, UserDefaults& userDefaults);

}  // namespace velmora
