#include "app/command_line.h"

#include "platform/posix/command_line_arguments.h"

namespace velmora {

std::string hostUsage() {
  return R"(Usage: velmora-host [options]

Shares this computer's screens with a Velmora client on the same network. The client finds the
host by DNS-SD (_velmora._tcp), pairs with the four-digit verification code the host shows, and
then controls the pointer and keyboard. A device that entered the code is trusted from then on:
its identifier, name, pairing time, last connection and address are remembered in
$XDG_CONFIG_HOME/velmora/user-defaults.json (default ~/.config/velmora/). Every connection is
announced on the desktop and logged.

Options:
  --headless                 no tray icon or panel: the verification code and status changes
                             are printed on standard output
  --backend auto|wlroots|kwin|gnome|portal|x11|virtual
                             the desktop to share (default: auto):
                               wlroots  the Wayland compositor at $WAYLAND_DISPLAY, built on
                                        wlroots (sway, Hyprland, labwc, river, Wayfire);
                                        needs zwlr_screencopy_manager_v1, and for input
                                        zwlr_virtual_pointer_manager_v1 and
                                        zwp_virtual_keyboard_manager_v1
                               kwin     KDE Plasma's KWin, through its own screen cast and
                                        fake input; no dialog, but KWin offers them only
                                        to the installed host
                               gnome    GNOME's mutter, through its own remote desktop
                                        and screen cast interfaces; no dialog
                               portal   any desktop with a desktop portal: the desktop
                                        asks the user to allow sharing
                               x11      the monitors of the X11 display in $DISPLAY (RandR 1.5;
                                        XTest for input)
                               virtual  displays that exist only inside the host
                             In a Wayland session ($WAYLAND_DISPLAY or XDG_SESSION_TYPE=wayland)
                             auto tries wlroots, kwin, gnome and portal and, when none works, says what
                             is missing and quits rather than share XWayland; it serves virtual
                             displays there only when --virtual-displays is given. Elsewhere
                             auto is X11 when $DISPLAY opens, otherwise virtual.
  --virtual-displays LAYOUT  the virtual displays, left to right, in points with an optional
                             scale, e.g. 1920x1080,1280x800@2 (default: 1920x1080)
  --trust-days N             a trusted device that has not connected for N days must enter the
                             code again (default: 90; 0: trusted until forgotten)
  --always-ask-code          trusted devices must enter the code too, whatever the menu's
                             "Always Ask for the Code" says
  --list-trusted             print the trusted devices, one per line (identifier, name, paired,
                             last connected, last address, separated by tabs), and exit
  --forget-trusted ID|all    forget one trusted device (or every one) and exit; a running host
                             disconnects it at once
  --log-level LEVEL          debug, info, default or error (default: info); the log goes to
                             standard error
  --log-private              show network addresses in the log instead of <private>
  --version                  print the version and exit
  --help                     print this help and exit

The control channel listens on TCP port 5920 and video goes out from UDP port 5921. One host
runs per user: a second one started while the first holds $XDG_RUNTIME_DIR/velmora/host.lock
quits at once with status 0. SIGINT and SIGTERM stop streaming and quit with status 0; a usage
error exits with 2, a start-up failure with 1.
)";
}

Result<HostOptions> parseHostOptions(const std::vector<std::string>& arguments) {
  HostOptions options;
  const auto failure = [](const std::string& why) { return Result<HostOptions>::failure(why); };
  CommandLineArguments reader(arguments);
  while (reader.next()) {
    const std::string& argument = reader.name();
    const auto value = [&] { return reader.value(); };
    const auto takesNoValue = [&] { return !reader.hasInlineValue(); };

    if (argument == "--headless" && takesNoValue()) {
      options.headless = true;
    } else if (argument == "--always-ask-code" && takesNoValue()) {
      options.alwaysAskForCode = true;
    } else if (argument == "--list-trusted" && takesNoValue()) {
      options.listTrusted = true;
    } else if (argument == "--forget-trusted") {
      options.forgetTrusted = value();
      if (!options.forgetTrusted || options.forgetTrusted->empty()) {
        return failure("--forget-trusted needs a device's identifier (see --list-trusted) or 'all'");
      }
    } else if (argument == "--trust-days") {
      const auto days = value().value_or("");
      const bool digits = !days.empty() && days.size() <= 5 && days.find_first_not_of("0123456789") == std::string::npos;
      if (!digits || std::stoi(days) > 36500) {
        return failure("--trust-days takes a number of days from 0 to 36500");
      }
      options.trustDays = std::stoi(days);
    } else if (argument == "--log-private" && takesNoValue()) {
      options.logPrivate = true;
    } else if (argument == "--version" && takesNoValue()) {
      options.showVersion = true;
    } else if ((argument == "--help" || argument == "-h") && takesNoValue()) {
      options.showHelp = true;
    } else if (argument == "--backend") {
      const auto backend = value();
      if (backend == "auto") {
        options.backend = Backend::automatic;
      } else if (backend == "wlroots") {
        options.backend = Backend::wlroots;
      } else if (backend == "kwin") {
        options.backend = Backend::kwin;
      } else if (backend == "gnome") {
        options.backend = Backend::gnome;
      } else if (backend == "portal") {
        options.backend = Backend::portal;
      } else if (backend == "x11") {
        options.backend = Backend::x11;
      } else if (backend == "virtual") {
        options.backend = Backend::virtualDisplays;
      } else {
        return failure("--backend takes auto, wlroots, kwin, gnome, portal, x11 or virtual");
      }
    } else if (argument == "--virtual-displays") {
      const auto layout = value();
      if (!layout) {
        return failure("--virtual-displays needs a layout such as 1920x1080,1280x800@2");
      }
      auto parsed = parseVirtualDisplayLayout(*layout);
      if (!parsed) {
        return failure(parsed.error());
      }
      options.virtualDisplays = parsed.value();
      options.virtualDisplaysGiven = true;
    } else if (argument == "--log-level") {
      const auto level = value();
      if (level == "debug") {
        options.logLevel = log::Level::debug;
      } else if (level == "info") {
        options.logLevel = log::Level::info;
      } else if (level == "default") {
        options.logLevel = log::Level::notice;
      } else if (level == "error") {
        options.logLevel = log::Level::error;
      } else {
        return failure("--log-level takes debug, info, default or error");
      }
    } else {
      return failure("unknown option '" + reader.given() + "'");
    }
  }
  return options;
}

}  // namespace velmora
