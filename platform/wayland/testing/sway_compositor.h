#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
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

// A headless sway of the test's own (pixman rendering, no input devices, no Xwayland) in a runtime
// folder of its own, ended with the object. Sway refuses to run as root, so as root it runs in a
// user namespace as uid 1000; its sockets stay reachable from here. `available()` is false where
// sway is missing or did not come up: such tests skip themselves.
class SwayCompositor {
 public:
  // `configuration`: sway configuration lines, e.g. "output HEADLESS-1 resolution 1280x720".
  // `environment` comes before the defaults and wins, e.g. WLR_BACKENDS=wayland for a nested sway.
  explicit SwayCompositor(const std::vector<std::string>& configuration = {}, std::vector<std::string> environment = {}) {
    if (access("/usr/bin/sway", X_OK) != 0) {
      return;
    }
    std::array<char, 32> folder{"/tmp/velmora-sway-XXXXXX"};
    if (mkdtemp(folder.data()) == nullptr) {
      return;
    }
    runtimeDirectory_ = folder.data();
    {
      std::ofstream config(runtimeDirectory_ + "/config");
      config << "xwayland disable\ndefault_border none\n";
      for (const auto& line : configuration) {
        config << line << "\n";
      }
    }
    if (geteuid() == 0) {
      program_ = "/usr/bin/unshare";
      arguments_ = {"--user", "--map-user=1000", "--map-group=1000", "/usr/bin/sway"};
    }
    arguments_.insert(arguments_.end(), {"-c", runtimeDirectory_ + "/config"});
    environment_ = std::move(environment);
    environment_.insert(environment_.end(), {"XDG_RUNTIME_DIR=" + runtimeDirectory_, "WLR_BACKENDS=headless",
                                             "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1", "WAYLAND_DISPLAY=",
                                             "DISPLAY="});
    start();
  }

  // Kills sway as a crash would, leaving its socket behind.
  void kill() {
    if (server_) {
      server_->signal(SIGKILL);
      server_->waitForExit();
      server_.reset();
    }
  }
  // Starts sway again in the same folder, where it takes the same socket name; false when it did
  // not come up.
  bool restart() {
    kill();
    std::error_code ignored;
    std::filesystem::remove(ipcSocketPath_, ignored);
    socketPath_.clear();
    ipcSocketPath_.clear();
    start();
    return available();
  }

  ~SwayCompositor() {
    server_.reset();
    if (!runtimeDirectory_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(runtimeDirectory_, ignored);
    }
  }

  SwayCompositor(const SwayCompositor&) = delete;
  SwayCompositor& operator=(const SwayCompositor&) = delete;

  bool available() const { return !socketPath_.empty(); }
  // The compositor's socket as an absolute path: a WAYLAND_DISPLAY that works from any runtime folder.
  const std::string& socketPath() const { return socketPath_; }
  // WAYLAND_DISPLAY and SWAYSOCK for a client of this compositor.
  std::vector<std::string> environment() const {
    return {"WAYLAND_DISPLAY=" + socketPath_, "SWAYSOCK=" + ipcSocketPath_, "XDG_RUNTIME_DIR=" + runtimeDirectory_};
  }
  // Runs a shell command (swaymsg, foot, wl-paste ...) as a client; returns its exit status.
  int run(const std::string& command) const { return std::system((prefix() + command).c_str()); }
  // Runs a shell command and returns what it wrote to its output.
  std::string output(const std::string& command) const { return shellOutput(prefix() + command); }

 private:
  std::string prefix() const {
    return "export WAYLAND_DISPLAY='" + socketPath_ + "' SWAYSOCK='" + ipcSocketPath_ + "' XDG_RUNTIME_DIR='" +
           runtimeDirectory_ + "'; ";
  }

  bool findSockets() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(runtimeDirectory_, error)) {
      const std::string name = entry.path().filename();
      if (name.rfind("wayland-", 0) == 0 && name.find('.') == std::string::npos) {
        socketPath_ = entry.path();
      } else if (name.rfind("sway-ipc.", 0) == 0) {
        ipcSocketPath_ = entry.path();
      }
    }
    return !socketPath_.empty() && !ipcSocketPath_.empty();
  }

  void start() {
    server_ = std::make_unique<ChildProcess>(program_, arguments_, environment_);
    eventually([this] { return findSockets(); }, std::chrono::seconds(15), std::chrono::milliseconds(50));
    if (socketPath_.empty() || run("swaymsg -t get_version >/dev/null") != 0) {
      socketPath_.clear();
    }
  }

  std::string program_ = "/usr/bin/sway";
  std::vector<std::string> arguments_;
  std::vector<std::string> environment_;
  std::unique_ptr<ChildProcess> server_;
  std::string runtimeDirectory_;
  std::string socketPath_;
  std::string ipcSocketPath_;
};

}  // namespace velmora::testing
