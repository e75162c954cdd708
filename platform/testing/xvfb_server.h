#pragma once

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/testing/child_process.h"

namespace velmora::testing {

// An Xvfb server of the test's own on a display number Xvfb finds free, started with -noreset
// (Xvfb otherwise forgets monitors and the pointer whenever its last client leaves) and ended when
// the object goes. `available()` is false where Xvfb is missing or did not come up: such tests
// skip themselves.
class XvfbServer {
 public:
  explicit XvfbServer(int width = 3840, int height = 1080, int depth = 24)
      : screen_(std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth)) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
      return;
    }
    // -displayfd 1: Xvfb prints the number it took once clients can connect.
    start({"-displayfd", "1"});
  }

  // Kills the server as a crash would.
  void kill() {
    if (server_) {
      server_->signal(SIGKILL);
      server_->waitForExit();
    }
  }
  // Kills the server if it still runs and starts a new one on the same display number; false when
  // it did not come up.
  bool restart() {
    kill();
    const std::string number = display_.empty() ? "" : display_.substr(1);
    display_.clear();
    if (number.empty()) {
      return false;
    }
    start({":" + number, "-displayfd", "1"});
    return available();
  }

  ~XvfbServer() {
    if (server_) {
      server_->terminate();  // a SIGTERM, so that Xvfb removes its lock file and socket
    }
  }

  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool available() const { return !display_.empty(); }
  // ":NN", for XOpenDisplay and the DISPLAY of child processes.
  const std::string& display() const { return display_; }

  // Runs a shell command (xrandr, xdotool, xclip ...) against this display; returns its exit status.
  int run(const std::string& command) const { return std::system(("DISPLAY=" + display_ + " " + command).c_str()); }

 private:
  void start(std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"-noreset", "-nolisten", "tcp", "-screen", "0", screen_});
    server_ = std::make_unique<ChildProcess>("/usr/bin/Xvfb", arguments);
    const auto number = server_->waitForLine(
        [](const std::string& line) {
          return !line.empty() && std::all_of(line.begin(), line.end(), [](unsigned char c) { return std::isdigit(c); });
        },
        std::chrono::seconds(10));
    display_ = number ? ":" + number->second : "";
  }

  const std::string screen_;
  std::unique_ptr<ChildProcess> server_;
  std::string display_;
};

}  // namespace velmora::testing
