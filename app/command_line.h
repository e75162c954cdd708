#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/log/log.h"
#include "platform/result.h"
#include "platform/virtual/virtual_display_source.h"

namespace velmora {

enum class Backend { automatic, wlroots, kwin, gnome, portal, x11, virtualDisplays };

struct HostOptions {
  bool headless = false;
  Backend backend = Backend::automatic;
  VirtualDisplayLayout virtualDisplays = {{1920, 1080, 1}};
  bool virtualDisplaysGiven = false;  // --virtual-displays was on the command line
  log::Level logLevel = log::Level::info;
  bool logPrivate = false;
  // How many days a trusted device stays trusted without an admission; 0: for ever.
  int trustDays = 90;
  bool alwaysAskForCode = false;
  // Instead of running: list the trusted devices, or forget one ("all": every one).
  bool listTrusted = false;
  std::optional<std::string> forgetTrusted;
  bool showVersion = false;
  bool showHelp = false;
};

// Parses velmora-host's arguments (without the program name); the error names the bad argument.
Result<HostOptions> parseHostOptions(const std::vector<std::string>& arguments);

std::string hostUsage();

}  // namespace velmora
