#pragma once

#include <signal.h>
#include <spawn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velmora::testing {

// An Xvfb server of the test's own on a free display number, started with -noreset (Xvfb
// otherwise forgets monitors and the pointer whenever its last client leaves) and killed when
// the object goes. `available()` is false where Xvfb is missing or did not come up: such tests
// skip themselves.
class XvfbServer {
 public:
  explicit XvfbServer(int width = 3840, int height = 1080, int depth = 24) {
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
      return;
    }
    for (int number = 90 + static_cast<int>(getpid() % 400); number < 1000 && display_.empty(); number += 7) {
      const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
      if (access(lock.c_str(), F_OK) == 0) {
        continue;
      }
      std::vector<std::string> arguments = {"/usr/bin/Xvfb", ":" + std::to_string(number), "-noreset", "-nolisten", "tcp",
                                            "-screen", "0",
                                            std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth)};
      std::vector<char*> argv;
      for (auto& argument : arguments) {
        argv.push_back(argument.data());
      }
      argv.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
      const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      if (failed != 0) {
        pid_ = -1;
        return;
      }
      const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
      for (int wait = 0; wait < 200; ++wait) {
        struct stat info {};
        if (stat(socket.c_str(), &info) == 0) {
          display_ = ":" + std::to_string(number);
          break;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {  // lost a race for the number: try the next
          pid_ = -1;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
    }
  }

  ~XvfbServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }

  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool available() const { return !display_.empty(); }
  // ":NN", for XOpenDisplay and the DISPLAY of child processes.
  const std::string& display() const { return display_; }

  // Runs a shell command (xrandr, xdotool, xclip ...) against this display; returns its exit status.
  int run(const std::string& command) const {
    const std::string line = "DISPLAY=" + display_ + " " + command;
    return std::system(line.c_str());
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace velmora::testing
