#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/child_process.h"
#include "platform/testing/desktop_session.h"
#include "platform/wayland/wayland_connection.h"

namespace velmora::testing {

// A headless KWin of the test's own, in a private session (bus, PipeWire, WirePlumber) whose folder
// also holds KWin's configuration: `outputCount` outputs "Virtual-0", "Virtual-1" ... of 1280x720
// points side by side. Ends with the object; `available()` is false, with the reason, where KWin is
// missing or did not come up (tests skip then). `trustEveryClient` offers KWin's restricted globals
// to every client; without it a client sees what an uninstalled host sees, unless `installedEntry`
// (a desktop entry, installed into KWin's data folder as a package would install it) names the
// client's program and lists the globals for it. Its outputs are never
// recorded: a screen cast gets a PipeWire node but no picture, and the pointer must not move while
// an output stream is open (KWin may crash drawing the cursor in).
class KwinCompositor {
 public:
  struct Options {
    int outputCount = 2;
    bool trustEveryClient = true;
    std::string installedEntry;
  };

  KwinCompositor() : KwinCompositor(Options{}) {}
  explicit KwinCompositor(Options options) {
    const auto folder = std::filesystem::path(session_.runtimeDirectory()) / "kwin";
    std::error_code error;
    // A copy drops the installed program's file capability, which may not be grantable here; it
    // keeps the name, without which KWin's own Qt platform plugin refuses to load.
    if (session_.available() && std::filesystem::create_directories(folder / "bin", error)) {
      std::filesystem::copy_file("/usr/bin/kwin_wayland", folder / "bin/kwin_wayland", error);
    }
    if (!session_.available() || error) {
      unavailableReason_ = "no kwin_wayland, or no private session to run it in";
      return;
    }
    socketPath_ = session_.runtimeDirectory() + "/kwin-test";
    std::vector<std::string> environment = {
        "DBUS_SESSION_BUS_ADDRESS=" + session_.busAddress(), "XDG_RUNTIME_DIR=" + session_.runtimeDirectory(),
        "XDG_CONFIG_HOME=" + (folder / "config").string(), "XDG_DATA_HOME=" + (folder / "data").string(),
        "XDG_CURRENT_DESKTOP=KDE", "WAYLAND_DISPLAY=", "DISPLAY=",
        // "O" falls back to QPainter silently, under which screen casts crash KWin.
        "KWIN_COMPOSE=O2"};
    if (!options.installedEntry.empty()) {
      std::filesystem::create_directories(folder / "data/applications", error);
      std::ofstream(folder / "data/applications/velmora-test.desktop") << options.installedEntry;
    }
    if (options.trustEveryClient) {
      environment.emplace_back("KWIN_WAYLAND_NO_PERMISSION_CHECKS=1");
    }
    kwin_ = std::make_unique<ChildProcess>(
        (folder / "bin/kwin_wayland").string(),
        std::vector<std::string>{"--virtual", "--width", "1280", "--height", "720", "--output-count",
                                 std::to_string(options.outputCount), "--socket", "kwin-test", "--no-lockscreen",
                                 "--no-global-shortcuts"},
        environment);
    // KWin offers its socket before it answers there: up means every output is announced.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (outputsAnnounced() != options.outputCount) {
      if (std::chrono::steady_clock::now() > until || kwin_->waitForEndOfOutput({})) {
        unavailableReason_ = "kwin_wayland did not come up:\n" + kwin_->output();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  bool available() const { return unavailableReason_.empty(); }
  const std::string& unavailableReason() const { return unavailableReason_; }
  // Absolute, so libwayland takes it whatever the runtime folder.
  const std::string& socketPath() const { return socketPath_; }
  // The session's runtime folder: PipeWire's socket, and room for a portal's files.
  const std::string& runtimeDirectory() const { return session_.runtimeDirectory(); }
  // For a client (a ChildProcess's extra environment): the session, KWin's display, a KDE session.
  // XDG_RUNTIME_DIR holds PipeWire's socket, for a test that consumes a stream in its own process.
  std::vector<std::string> environment() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + session_.busAddress(), "XDG_RUNTIME_DIR=" + session_.runtimeDirectory(),
            "WAYLAND_DISPLAY=" + socketPath_, "XDG_CURRENT_DESKTOP=KDE", "XDG_SESSION_TYPE=wayland", "DISPLAY=",
            "PIPEWIRE_REMOTE="};
  }
  // Runs a shell command (wl-paste, pw-cli, a test tool ...) as a client; returns its exit status.
  int run(const std::string& command) const { return std::system((prefix() + command).c_str()); }
  std::string output(const std::string& command) const { return shellOutput(prefix() + command); }
  bool waitForBusName(const std::string& name) const { return session_.waitForBusName(name); }
  // To end KWin mid-test; null where it did not start.
  ChildProcess* kwin() const { return kwin_.get(); }

 private:
  std::string prefix() const {
    std::string exports = "export";
    for (const auto& variable : environment()) {
      exports += " " + variable.substr(0, variable.find('=')) + "='" + variable.substr(variable.find('=') + 1) + "'";
    }
    return exports + "; ";
  }

  int outputsAnnounced() const {
    auto connection = WaylandConnection::open(socketPath_);
    return connection ? static_cast<int>(std::ranges::count(connection.value()->globals(), std::string("wl_output"),
                                                            &WaylandConnection::Global::interface))
                      : 0;
  }

  DesktopSession session_;
  std::string socketPath_;
  std::unique_ptr<ChildProcess> kwin_;  // after the session: ends before it
  std::string unavailableReason_;
};

}  // namespace velmora::testing
