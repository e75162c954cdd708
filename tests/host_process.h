#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace velmora::testing {

// A velmora-host (or velmora-client) process with its standard output, and on request its
// standard error, read line by line. Killed on destruction, so a failing test leaves nothing
// running.
class HostProcess {
 public:
  HostProcess(const std::string& executable, const std::vector<std::string>& arguments,
              const std::vector<std::string>& extraEnvironment, bool readStandardError = false) {
    int outputPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDOUT_FILENO);
    if (readStandardError) {
      posix_spawn_file_actions_adddup2(&actions, outputPipe[1], STDERR_FILENO);
    }

    std::vector<std::string> argumentStorage = {executable};
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : argumentStorage) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    std::vector<std::string> environmentStorage = extraEnvironment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      environmentStorage.emplace_back(*variable);
    }
    std::vector<char*> envp;
    for (auto& variable : environmentStorage) {
      envp.push_back(variable.data());
    }
    envp.push_back(nullptr);

    if (posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(outputPipe[1]);
    output_ = outputPipe[0];
  }

  ~HostProcess() {
    if (pid_ > 0 && !exitStatus_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) {
      close(output_);
    }
  }

  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // The next line of standard output that starts with `prefix`, without the prefix.
  std::optional<std::string> waitForLine(const std::string& prefix, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    auto line = waitForMatch([&](const std::string& each) { return each.starts_with(prefix); }, timeout);
    if (!line) {
      return std::nullopt;
    }
    return line->substr(prefix.size());
  }

  // The next line that contains `text`, whole.
  std::optional<std::string> waitForLineContaining(const std::string& text,
                                                   std::chrono::seconds timeout = std::chrono::seconds(20)) {
    return waitForMatch([&](const std::string& line) { return line.find(text) != std::string::npos; }, timeout);
  }

  // Everything the process writes until it ends; its exit status, or nothing if it did not end in time.
  std::optional<int> readUntilExit(std::chrono::seconds timeout = std::chrono::seconds(60)) {
    waitForMatch([](const std::string&) { return false; }, timeout);
    return waitForExit(std::chrono::seconds(5));
  }

  // Every line read so far, joined.
  std::string output() const {
    std::string joined;
    for (const auto& line : lines_) {
      joined += line + "\n";
    }
    return joined + pending_;
  }

  std::size_t countLinesContaining(const std::string& text) const {
    std::size_t count = 0;
    for (const auto& line : lines_) {
      count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
  }

  // Sends SIGTERM and returns the exit status, or nothing if it did not exit in time.
  std::optional<int> terminate(std::chrono::seconds timeout = std::chrono::seconds(20)) {
    if (!exitStatus_) {
      kill(pid_, SIGTERM);
    }
    return waitForExit(timeout);
  }

  // The exit status once the process has ended by itself, or nothing if it did not in time.
  std::optional<int> waitForExit(std::chrono::seconds timeout = std::chrono::seconds(20)) {
    if (exitStatus_) {
      return exitStatus_;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exitStatus_;
      }
      usleep(10000);
    }
    return std::nullopt;
  }

  const std::vector<std::string>& lines() const { return lines_; }

  pid_t pid() const { return pid_; }

 private:
  template <class Matches>
  std::optional<std::string> waitForMatch(const Matches& matches, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      while (true) {
        const auto newline = pending_.find('\n');
        if (newline == std::string::npos) {
          break;
        }
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        lines_.push_back(line);
        if (matches(line)) {
          return line;
        }
      }
      const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (remaining.count() <= 0 || !readSome(static_cast<int>(remaining.count()))) {
        return std::nullopt;
      }
    }
  }

  bool readSome(int timeoutMilliseconds) {
    pollfd descriptor{output_, POLLIN, 0};
    if (poll(&descriptor, 1, timeoutMilliseconds) <= 0) {
      return false;
    }
    char buffer[4096];
    const auto count = read(output_, buffer, sizeof buffer);
    if (count <= 0) {
      return false;
    }
    pending_.append(buffer, static_cast<std::size_t>(count));
    return true;
  }

  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
  std::vector<std::string> lines_;
  std::optional<int> exitStatus_;
};

}  // namespace velmora::testing
