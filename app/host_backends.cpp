// Where the host's backend family is chosen. A new family is one factory below and one line in
// hostBackendFamilies() (and its --backend name in command_line.cpp).
#include "app/host_backends.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/dbus/dbus_connection.h"
#include "platform/gnome/mutter_capture_backend.h"
#include "platform/gnome/mutter_display_source.h"
#include "platform/gnome/mutter_input_backend.h"
#include "platform/log/log.h"
#include "platform/portal/portal_desktop.h"
#include "platform/posix/json_file_user_defaults.h"
#include "platform/virtual/virtual_capture_backend.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/virtual/virtual_input_backend.h"
#include "platform/wayland/wayland_capture_backend.h"
#include "platform/wayland/wayland_display_source.h"
#include "platform/wayland/wayland_input_backend.h"
#include "platform/x11/screen_change_notifier.h"
#include "platform/x11/x11_capture_backend.h"
#include "platform/x11/x11_display_source.h"
#include "platform/x11/x11_input_backend.h"
#include "platform/x265/x265_encoder_backend.h"

namespace velmora {
namespace {

const log::Logger logger("AppDelegate");

// Streaming still works without input; input is refused as it would be without the permission.
template <typename Input>
std::shared_ptr<InputBackend> inputOrRefusal(const Result<std::shared_ptr<Input>>& input,
                                             const std::shared_ptr<DisplaySource>& displays, const char* desktop) {
  if (input) {
    return input.value();
  }
  logger.error("Input cannot be posted to {}: {}", desktop, input.error());
  auto refused = std::make_shared<VirtualInputBackend>(displays);
  refused->setTrusted(false);
  return refused;
}

// A Wayland compositor built on wlroots, at $WAYLAND_DISPLAY.
Result<HostBackends> openWlrootsBackends(const HostOptions&) {
  auto displays = WaylandDisplaySource::open();
  if (!displays) {
    return Result<HostBackends>::failure(displays.error());
  }
  auto capture = WaylandCaptureBackend::open();
  if (!capture) {
    return Result<HostBackends>::failure(capture.error());
  }
  // The controller debounces these calls as it does the X11 family's.
  HostBackends backends{displays.value(), capture.value(), nullptr, makeX265EncoderBackend,
                        [displays = displays.value()](MainQueue& mainQueue, std::function<void()> onChange) {
                          return Result<ScreenChangeWatch>(displays->watchChanges(mainQueue, std::move(onChange)));
                        }};
  backends.input = inputOrRefusal(makeWaylandInputBackend(), backends.displays, "the Wayland compositor");
  const char* socket = std::getenv("WAYLAND_DISPLAY");
  logger.info("Sharing the outputs of the Wayland compositor {}", socket != nullptr ? socket : "wayland-0");
  return backends;
}

// GNOME's mutter, through its own remote desktop and screen cast interfaces on the session bus: no
// dialog, but mutter must offer them to this process (it does to any client of the session bus).
Result<HostBackends> openGnomeBackends(const HostOptions&) {
  auto opened = DBusConnection::open(DBusConnection::Bus::session);
  if (!opened) {
    return Result<HostBackends>::failure(opened.error());
  }
  const std::shared_ptr<DBusConnection> bus = std::move(opened.value());
  auto displays = MutterDisplaySource::open(bus);
  if (!displays) {
    return Result<HostBackends>::failure(displays.error());
  }
  auto session = MutterRemoteDesktop::start(bus);
  if (!session) {
    return Result<HostBackends>::failure(session.error());
  }
  // The controller debounces these calls as it does the X11 family's.
  HostBackends backends{displays.value(), std::make_shared<MutterCaptureBackend>(session.value()), nullptr,
                        makeX265EncoderBackend,
                        [displays = displays.value()](MainQueue& mainQueue, std::function<void()> onChange) {
                          return Result<ScreenChangeWatch>(displays->watchChanges(mainQueue, std::move(onChange)));
                        }};
  backends.input =
      inputOrRefusal(makeMutterInputBackend(session.value(), displays.value()), backends.displays, "GNOME's mutter");
  logger.info("Sharing the monitors of GNOME's mutter");
  return backends;
}

// Any desktop with a desktop portal: a session the user approves in the desktop's dialog. Opened
// before the tray runs, so only the log and a headless status line can say that it waits.
Result<HostBackends> openPortalBackends(const HostOptions& options) {
  JsonFileUserDefaults defaults(defaultUserDefaultsPath());
  PortalSessionOptions sessionOptions;
  if (options.headless) {
    sessionOptions.waitingForUser = [] {
      std::printf("Status: Waiting for the desktop's approval to share the screen\n");
      std::fflush(stdout);
    };
  }
  auto desktop = openPortalDesktop(defaults, std::move(sessionOptions));
  if (!desktop) {
    return Result<HostBackends>::failure(desktop.error());
  }
  logger.info("Sharing the monitors of the desktop portal's session");
  return HostBackends{desktop.value().displays, desktop.value().capture, desktop.value().input, makeX265EncoderBackend,
                      nullptr};
}

// The X11 desktop of $DISPLAY.
Result<HostBackends> openX11Backends(const HostOptions&) {
  auto displays = X11DisplaySource::open();
  if (!displays) {
    return Result<HostBackends>::failure(displays.error());
  }
  auto capture = X11CaptureBackend::open();
  if (!capture) {
    return Result<HostBackends>::failure(capture.error());
  }
  HostBackends backends{displays.value(), capture.value(), nullptr, makeX265EncoderBackend,
                        [](MainQueue& mainQueue, std::function<void()> onChange) -> Result<ScreenChangeWatch> {
                          auto notifier = ScreenChangeNotifier::start(mainQueue, std::move(onChange));
                          if (!notifier) {
                            return Result<ScreenChangeWatch>::failure(notifier.error());
                          }
                          return ScreenChangeWatch(std::move(notifier.value()));
                        }};
  backends.input = inputOrRefusal(makeX11InputBackend(), backends.displays, "the X11 display");
  const char* display = std::getenv("DISPLAY");
  logger.info("Sharing the displays of the X11 display {}", display != nullptr ? display : "");
  return backends;
}

// Displays of this process only, laid out by --virtual-displays; always opens.
Result<HostBackends> openVirtualBackends(const HostOptions& options) {
  auto displays = std::make_shared<VirtualDisplaySource>(options.virtualDisplays);
  return HostBackends{displays, std::make_shared<VirtualCaptureBackend>(displays),
                      std::make_shared<VirtualInputBackend>(displays), makeX265EncoderBackend, nullptr};
}

}  // namespace

std::vector<BackendFamily> hostBackendFamilies() {
  // In a Wayland session: wlroots first (no dialog, no session bus), then GNOME (no dialog), then
  // the portal, whose dialog asks the user. Virtual displays come last: they always open.
  return {
      {Backend::wlroots, "wlroots compositor", true, openWlrootsBackends},
      {Backend::gnome, "GNOME (mutter)", true, openGnomeBackends},
      {Backend::portal, "desktop portal", true, openPortalBackends},
      {Backend::x11, "X11 display", false, openX11Backends},
      {Backend::virtualDisplays, "virtual displays", false, openVirtualBackends},
  };
}

bool isWaylandSession(const char* waylandDisplay, const char* sessionType) {
  return (waylandDisplay != nullptr && *waylandDisplay != '\0') ||
         (sessionType != nullptr && std::string_view(sessionType) == "wayland");
}

Result<HostBackends> chooseHostBackends(const HostOptions& options, bool waylandSession,
                                        const std::vector<BackendFamily>& families) {
  if (options.backend != Backend::automatic) {
    const auto named = std::find_if(families.begin(), families.end(),
                                    [&](const BackendFamily& family) { return family.backend == options.backend; });
    if (named == families.end()) {
      return Result<HostBackends>::failure("this build has no such backend");
    }
    auto backends = named->open(options);
    if (!backends) {
      return Result<HostBackends>::failure("cannot use the " + named->description + ": " + backends.error());
    }
    return backends;
  }
  std::string reasons;
  for (const auto& family : families) {
    const bool askedForVirtual = family.backend == Backend::virtualDisplays && options.virtualDisplaysGiven;
    if (family.forWaylandSessions != waylandSession && !(waylandSession && askedForVirtual)) {
      continue;
    }
    auto backends = family.open(options);
    if (backends) {
      return backends;
    }
    logger.info("No usable {} ({}) — trying the next backend", family.description, backends.error());
    reasons += (reasons.empty() ? "" : "; ") + family.description + ": " + backends.error();
  }
  if (waylandSession) {
    return Result<HostBackends>::failure(
        "this is a Wayland session and no Wayland backend works here (" + reasons +
        "); --backend x11 would share only the windows of XWayland, --backend virtual displays of the host's own");
  }
  return Result<HostBackends>::failure("no backend family opens");
}

Result<HostBackends> chooseHostBackends(const HostOptions& options) {
  return chooseHostBackends(options, isWaylandSession(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE")),
                            hostBackendFamilies());
}

}  // namespace velmora
