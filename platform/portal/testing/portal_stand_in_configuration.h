#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace velmora::testing {

// What makes the real xdg-desktop-portal forward to the backend stand-in: its bus name and the
// variables the portal (and the host beside it) run with.
struct PortalStandInConfiguration {
  std::string backendName;
  std::vector<std::string> environment;
};

// The portal picks the backend whose .portal file names the current desktop in UseIn, so a folder
// holding only the stand-in's file under a desktop name of our own leaves it no other choice.
inline PortalStandInConfiguration configurePortalStandIn(const std::string& runtimeDirectory) {
  const std::string backendName = "org.freedesktop.impl.portal.desktop.velmora_test";
  const std::string portals = runtimeDirectory + "/portals";
  std::filesystem::create_directory(portals);
  std::ofstream(portals + "/velmora-test.portal")
      << "[portal]\nDBusName=" << backendName
      << "\nInterfaces=org.freedesktop.impl.portal.ScreenCast;org.freedesktop.impl.portal.RemoteDesktop;\n"
         "UseIn=velmora-test\n";
  return {backendName, {"XDG_DESKTOP_PORTAL_DIR=" + portals, "XDG_CURRENT_DESKTOP=velmora-test"}};
}

}  // namespace velmora::testing
