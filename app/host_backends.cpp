// Where the host's backend family is chosen. A new family is one factory below and one line in
// hostBackendFamilies() (and its --backend name in command_line.cpp).
#include "app/host_backends.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/dbus/dbus_connection.h"
#include "platform/dbus/dbus_name_watch.h"
#include "platform/gnome/mutter_capture_backend.h"
#include "platform/gnome/mutter_display_source.h"
#include "platform/gnome/mutter_input_backend.h"
#include "platform/kwin/kwin_desktop.h"
#include "platform/log/log.h"
#include "platform/portal/portal_desktop.h"
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

// A Wayland compositor built on wlroots, at $WAYLAND_DISPLAY: displays, input and the clipboard on
// one connection, whose end is the desktop's loss.
Result<HostBackends> openWlrootsBackends(const HostOptions&, UserDefaults&) {
  auto desktopLoss = std::make_shared<DesktopLossSignal>();
  auto connection =
      WaylandSharedConnection::open({}, [desktopLoss](const std::string& reason) { desktopLoss->report(reason); });
  if (!connection) {
    return Result<HostBackends>::failure(connection.error());
  }
  auto capture = WaylandCaptureBackend::open();
  if (!capture) {
    return Result<HostBackends>::failure(capture.error());
  }
  auto displays = WaylandDisplaySource::create(connection.value());
  // The controller debounces these calls as it does the X11 family's.
  HostBackends backends{displays, capture.value(), nullptr, makeX265EncoderBackendFactory(),
                        [displays](MainQueue& mainQueue, std::function<void()> onChange) {
                          return Result<ScreenChangeWatch>(displays->watchChanges(mainQueue, std::move(onChange)));
                        },
                        desktopLoss};
  backends.input = inputOrRefusal(makeWaylandInputBackend(connection.value(), displays), backends.displays,
                                  "the Wayland compositor");
  connection.value()->start();
  const char* socket = std::getenv("WAYLAND_DISPLAY");
  logger.info("Sharing the outputs of the Wayland compositor {}", socket != nullptr ? socket : "wayland-0");
  return backends;
}

// KDE Plasma's KWin at $WAYLAND_DISPLAY, through its own screen cast and fake input: no dialog, but
// KWin offers them only to the installed host. Its connection's end is the desktop's loss.
Result<HostBackends> openKwinBackends(const HostOptions&, UserDefaults&) {
  auto desktopLoss = std::make_shared<DesktopLossSignal>();
  auto desktop = openKwinDesktop({}, [desktopLoss](const std::string& reason) { desktopLoss->report(reason); });
  if (!desktop) {
    return Result<HostBackends>::failure(desktop.error());
  }
  auto displays = desktop.value().displays;
  HostBackends backends{displays, desktop.value().capture, desktop.value().input, makeX265EncoderBackendFactory(),
                        [displays](MainQueue& mainQueue, std::function<void()> onChange) {
                          return Result<ScreenChangeWatch>(displays->watchChanges(mainQueue, std::move(onChange)));
                        },
                        desktopLoss};
  const char* socket = std::getenv("WAYLAND_DISPLAY");
  logger.info("Sharing the outputs of KWin {}", socket != nullptr ? socket : "wayland-0");
  return backends;
}

// GNOME's mutter, through its own remote desktop and screen cast interfaces on the session bus: no
// dialog, but mutter must offer them to this process (it does to any client of the session bus).
Result<HostBackends> openGnomeBackends(const HostOptions&, UserDefaults&) {
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
  // Mutter leaving the session bus is GNOME's desktop going away.
  auto desktopLoss = std::make_shared<DesktopLossSignal>();
  auto mutterWatch = DBusNameWatch::start(bus, "org.gnome.Mutter.RemoteDesktop",
                                         [desktopLoss] { desktopLoss->report("mutter left the session bus"); });
  if (!mutterWatch) {
    return Result<HostBackends>::failure(mutterWatch.error());
  }
  // The controller debounces these calls as it does the X11 family's.
  HostBackends backends{displays.value(), std::make_shared<MutterCaptureBackend>(session.value()), nullptr,
                        makeX265EncoderBackendFactory(),
                        [displays = displays.value()](MainQueue& mainQueue, std::function<void()> onChange) {
                          return Result<ScreenChangeWatch>(displays->watchChanges(mainQueue, std::move(onChange)));
                        },
                        desktopLoss};
  backends.desktopWatch = std::move(mutterWatch.value());
  backends.input =
      inputOrRefusal(makeMutterInputBackend(session.value(), displays.value()), backends.displays, "GNOME's mutter");
  logger.info("Sharing the monitors of GNOME's mutter");
  return backends;
}

// Any desktop with a desktop portal: a session the user approves in the desktop's dialog. Opened
// before the tray icon shows, so only the log and a headless status line can say that it waits.
Result<HostBackends> openPortalBackends(const HostOptions& options, UserDefaults& userDefaults) {
  // The portal says nothing when the compositor behind it ends; a connection of the host's own
  // to the compositor does.
  auto desktopLoss = std::make_shared<DesktopLossSignal>();
  std::shared_ptr<WaylandSharedConnection> compositor;
  if (const char* socket = std::getenv("WAYLAND_DISPLAY"); socket != nullptr && *socket != '\0') {
    auto opened =
        WaylandSharedConnection::open({}, [desktopLoss](const std::string& reason) { desktopLoss->report(reason); });
    if (!opened) {
      return Result<HostBackends>::failure(opened.error());
    }
    compositor = std::move(opened.value());
    compositor->start();
  }
  auto sharingEnded = std::make_shared<DesktopLossSignal>();
  PortalSessionOptions sessionOptions;
  sessionOptions.onClosed = [sharingEnded] { sharingEnded->report("the desktop portal closed the session"); };
  if (options.headless) {
    sessionOptions.waitingForUser = [] {
      std::printf("Status: Waiting for the desktop's approval to share the screen\n");
      std::fflush(stdout);
    };
  }
  auto desktop = openPortalDesktop(userDefaults, std::move(sessionOptions));
  if (!desktop) {
    return Result<HostBackends>::failure(desktop.error());
  }
  logger.info("Sharing the monitors of the desktop portal's session");
  HostBackends backends{desktop.value().displays, desktop.value().capture, desktop.value().input,
                        makeX265EncoderBackendFactory(), nullptr, desktopLoss};
  backends.desktopWatch = std::move(compositor);
  backends.sharingEnded = sharingEnded;
  return backends;
}

// The X11 desktop of $DISPLAY.
Result<HostBackends> openX11Backends(const HostOptions&, UserDefaults&) {
  auto displays = X11DisplaySource::open();
  if (!displays) {
    return Result<HostBackends>::failure(displays.error());
  }
  auto capture = X11CaptureBackend::open();
  if (!capture) {
    return Result<HostBackends>::failure(capture.error());
  }
  // The screen watch's connection is the one that notices a lost X server.
  auto desktopLoss = std::make_shared<DesktopLossSignal>();
  const auto watchScreenChanges = [desktopLoss](MainQueue& mainQueue,
                                                std::function<void()> onChange) -> Result<ScreenChangeWatch> {
    auto notifier = ScreenChangeNotifier::start(mainQueue, std::move(onChange), {},
                                                [desktopLoss](const std::string& reason) { desktopLoss->report(reason); });
    if (!notifier) {
      return Result<ScreenChangeWatch>::failure(notifier.error());
    }
    return ScreenChangeWatch(std::move(notifier.value()));
  };
  HostBackends backends{displays.value(), capture.value(), nullptr, makeX265EncoderBackendFactory(), watchScreenChanges,
                        desktopLoss};
  backends.input = inputOrRefusal(makeX11InputBackend(displays.value()), backends.displays, "the X11 display");
  const char* display = std::getenv("DISPLAY");
  logger.info("Sharing the displays of the X11 display {}", display != nullptr ? display : "");
  return backends;
}

// Displays of this process only, laid out by --virtual-displays; always opens.
Result<HostBackends> openVirtualBackends(const HostOptions& options, UserDefaults&) {
  auto displays = std::make_shared<VirtualDisplaySource>(options.virtualDisplays);
  return HostBackends{displays, std::make_shared<VirtualCaptureBackend>(displays),
                      std::make_shared<VirtualInputBackend>(displays), makeX265EncoderBackendFactory(), nullptr};
}

}  // namespace

std::vector<BackendFamily> hostBackendFamilies() {
  // In a Wayland session: wlroots first (no dialog, no session bus), then KWin and GNOME (no
  // dialog), then the portal, whose dialog asks the user: on KDE Plasma when KWin withholds its
  // interfaces from this program. Virtual displays come last: they always open.
  return {
      {Backend::wlroots, "wlroots compositor", true, openWlrootsBackends},
      {Backend::kwin, "KWin", true, openKwinBackends},
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

Result<HostBackends> chooseHostBackends(const HostOptions& options, UserDefaults& userDefaults, bool waylandSession,
                                        const std::vector<BackendFamily>& families) {
  if (options.backend != Backend::automatic) {
    const auto named = std::find_if(families.begin(), families.end(),
                                    [&](const BackendFamily& family) { return family.backend == options.backend; });
    if (named == families.end()) {
      return Result<HostBackends>::failure("this build has no such backend");
    }
    auto backends = named->open(options, userDefaults);
    if (!backends) {
      return Result<HostBackends>::failure("cannot use the " + named->description + ": " + backends.error());
    }
    backends.value().family = named->backend;
    return backends;
  }
  std::string reasons;
  for (const auto& family : families) {
    const bool askedForVirtual = family.backend == Backend::virtualDisplays && options.virtualDisplaysGiven;
    if (family.forWaylandSessions != waylandSession && !(waylandSession && askedForVirtual)) {
      continue;
    }
    auto backends = family.open(options, userDefaults);
    if (backends) {
      backends.value().family = family.backend;
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

Result<HostBackends> chooseHostBackends(const HostOptions& options, UserDefaults& userDefaults) {
  return chooseHostBackends(options, userDefaults, isWaylandSession(std::getenv("WAYLAND_DISPLAY"), std::getenv("XDG_SESSION_TYPE")),
                            hostBackendFamilies());
}

}  // namespace velmora
