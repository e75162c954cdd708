#pragma once

#include <cmath>
#include <cstdlib>
#include <regex>
#include <string>

#include "platform/testing/desktop_session.h"

namespace velmora::testing {

// Mutter's monitor layout read and changed over DisplayConfig with gdbus, as a settings panel would.
inline std::string mutterDisplayConfigCall(const std::string& method) {
  return "gdbus call --session -d org.gnome.Mutter.DisplayConfig -o /org/gnome/Mutter/DisplayConfig "
         "-m org.gnome.Mutter.DisplayConfig." + method;
}

// GetCurrentState's answer as gdbus writes it.
inline std::string mutterDisplayState(const DesktopSession& desktop) {
  return desktop.output(mutterDisplayConfigCall("GetCurrentState"));
}

// Logical monitors as gdbus writes them: "(x, y, scale, 0, primary, [('Meta-0', '1280x720@60.000', @a{sv} {})])".
// False where mutter refuses the layout.
inline bool applyMutterMonitors(const DesktopSession& desktop, const std::string& logicalMonitors) {
  const std::string state = mutterDisplayState(desktop);
  std::smatch serial;
  return std::regex_search(state, serial, std::regex(R"(^\(uint32 (\d+),)")) &&
         desktop.run(mutterDisplayConfigCall("ApplyMonitorsConfig") + " " + serial[1].str() + " 1 \"[" +
                     logicalMonitors + "]\" '{}' >/dev/null") == 0;
}

// The scale mutter offers for `connector`'s current mode nearest to `wanted` (0 when it lists none).
inline double nearestSupportedScale(const DesktopSession& desktop, const std::string& connector, double wanted) {
  // The connector's modes: "(('Meta-1', ...), [('2560x1440@60.000', 2560, 1440, 60.0, 1.0, [1.0, 1.25], {'is-current': <true>...".
  const std::string state = mutterDisplayState(desktop);
  const auto monitor = state.find("(('" + connector + "'");
  const auto current = state.find("{'is-current': <true>", monitor);
  if (monitor == std::string::npos || current == std::string::npos || state.find("(('", monitor + 1) < current) {
    return 0;
  }
  double nearest = 0;
  for (const char* at = state.c_str() + state.rfind('[', current) + 1; *at != ']';) {
    char* end = nullptr;
    const double candidate = std::strtod(at, &end);
    if (end == at) {
      break;
    }
    nearest = std::abs(candidate - wanted) < std::abs(nearest - wanted) ? candidate : nearest;
    at = *end == ',' ? end + 1 : end;
  }
  return nearest;
}

}  // namespace velmora::testing
