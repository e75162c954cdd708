#pragma once

#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/child_process.h"

namespace velmora::testing {

// A desktop session of the test's own: a private session bus and runtime folder with PipeWire
// and WirePlumber, and, when monitors are asked for, a headless mutter (no X11) with one virtual
// monitor per entry ("1280x720"). Everything ends with the object. `available()` is false where a
// program is missing or did not come up: such tests skip themselves.
class DesktopSession {
 public:
  // Mutter lays monitors out in pixels unless told to scale them fractionally: then in points.
  enum class MutterLayout { physical, logical };
  static constexpr std::chrono::seconds kStartWait{20};  // each program of the session, to come up

  explicit DesktopSession(const std::vector<std::string>& mutterMonitors = {},
                          MutterLayout mutterLayout = MutterLayout::physical) {
    for (const char* program : {"/usr/bin/dbus-daemon", "/usr/bin/pipewire", "/usr/bin/wireplumber"}) {
      if (access(program, X_OK) != 0) {
        return;
      }
    }
    if (!mutterMonitors.empty() && access("/usr/bin/mutter", X_OK) != 0) {
      return;
    }
    std::array<char, 36> folder{"/tmp/velmora-desktop-XXXXXX"};
    if (mkdtemp(folder.data()) == nullptr) {
      return;
    }
    runtimeDirectory_ = folder.data();
    busAddress_ = "unix:path=" + runtimeDirectory_ + "/bus";
    bus_ = std::make_unique<ChildProcess>(
        "/usr/bin/dbus-daemon", std::vector<std::string>{"--session", "--nofork", "--nosyslog", "--address=" + busAddress_});
    if (!eventually([&] { return std::filesystem::exists(runtimeDirectory_ + "/bus"); }, kStartWait)) {
      return;
    }
    pipewire_ = std::make_unique<ChildProcess>("/usr/bin/pipewire", std::vector<std::string>{}, environment());
    if (!eventually([&] { return std::filesystem::exists(runtimeDirectory_ + "/pipewire-0"); }, kStartWait)) {
      return;
    }
    wireplumber_ = std::make_unique<ChildProcess>("/usr/bin/wireplumber", std::vector<std::string>{}, environment());
    if (!mutterMonitors.empty()) {
      std::vector<std::string> arguments{"--headless", "--wayland", "--no-x11"};
      for (const auto& monitor : mutterMonitors) {
        arguments.insert(arguments.end(), {"--virtual-monitor", monitor});
      }
      auto mutterEnvironment = environment();
      if (mutterLayout == MutterLayout::logical) {
        const auto settings = std::filesystem::path(runtimeDirectory_) / "config/glib-2.0/settings";
        std::filesystem::create_directories(settings);
        std::ofstream(settings / "keyfile") << "[org/gnome/mutter]\nexperimental-features=['scale-monitor-framebuffer']\n";
        mutterEnvironment.insert(mutterEnvironment.end(),
                                 {"GSETTINGS_BACKEND=keyfile", "XDG_CONFIG_HOME=" + runtimeDirectory_ + "/config"});
      }
      mutter_ = std::make_unique<ChildProcess>("/usr/bin/mutter", arguments, mutterEnvironment);
      if (!waitForBusName("org.gnome.Mutter.RemoteDesktop", kStartWait)) {
        return;
      }
    }
    available_ = true;
  }

  ~DesktopSession() {
    mutter_.reset();
    wireplumber_.reset();
    pipewire_.reset();
    bus_.reset();
    if (!runtimeDirectory_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(runtimeDirectory_, ignored);
    }
  }

  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  bool available() const { return available_; }
  const std::string& busAddress() const { return busAddress_; }
  const std::string& runtimeDirectory() const { return runtimeDirectory_; }
  // For a client of this session: its bus, runtime folder (PipeWire's and mutter's sockets) and
  // mutter's Wayland display.
  std::vector<std::string> environment() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + busAddress_, "XDG_RUNTIME_DIR=" + runtimeDirectory_,
            "WAYLAND_DISPLAY=" + runtimeDirectory_ + "/wayland-0", "DISPLAY=", "PIPEWIRE_REMOTE="};
  }
  // Runs a shell command (busctl, gdbus, gst-launch-1.0 ...) as a client; returns its exit status.
  int run(const std::string& command) const { return std::system((prefix() + command).c_str()); }
  // Whether `name` has an owner on the session bus, or gets one within `timeout`.
  bool waitForBusName(const std::string& name, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
    return eventually([&] { return run("busctl --user status " + name + " >/dev/null 2>&1") == 0; }, timeout);
  }
  std::string output(const std::string& command) const { return shellOutput(prefix() + command); }
  // The mutter process, to end it mid-test (nullptr without monitors).
  ChildProcess* mutter() const { return mutter_.get(); }
  ChildProcess* pipewire() const { return pipewire_.get(); }

 private:
  std::string prefix() const {
    return "export DBUS_SESSION_BUS_ADDRESS='" + busAddress_ + "' XDG_RUNTIME_DIR='" + runtimeDirectory_ +
           "' WAYLAND_DISPLAY='" + runtimeDirectory_ + "/wayland-0' DISPLAY=; ";
  }

  std::string runtimeDirectory_;
  std::string busAddress_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> pipewire_;
  std::unique_ptr<ChildProcess> wireplumber_;
  std::unique_ptr<ChildProcess> mutter_;
  bool available_ = false;
};

}  // namespace velmora::testing
