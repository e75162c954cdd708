#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace velmora::testing {

// A program a test starts, its standard output and error drained line by line by a thread of its
// own so that a chatty process never blocks on a full pipe; standard input is a pipe for lines.
// Killed with the object, and with the test process if that dies first. Lines are waited for in
// sequence (no `fromLine`: after the last line so found) or from a line index the caller holds.
class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  using LineObserver = std::function<void(const std::string&)>;
  static constexpr std::chrono::milliseconds kLineWait{20000};

  // `executable` is looked up in PATH when it has no slash.
  ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
               const std::vector<std::string>& extraEnvironment = {}, LineObserver lineObserver = {})
      : lineObserver_(std::move(lineObserver)) {
    int outputPipe[2];
    int inputPipe[2];
    if (pipe2(outputPipe, O_CLOEXEC) != 0) {
      return;
    }
    if (pipe2(inputPipe, O_CLOEXEC) != 0) {
      close(outputPipe[0]);
      close(outputPipe[1]);
      return;
    }
    std::vector<std::string> argumentStorage = {executable};
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environmentStorage = extraEnvironment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      environmentStorage.emplace_back(*variable);
    }
    auto argv = pointersTo(argumentStorage);
    auto envp = pointersTo(environmentStorage);

    // Forked by hand rather than spawned: the child asks to be killed with the test, so that a test
    // killed at its time limit leaves nothing running. Only async-signal-safe calls after the fork.
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) {
        _exit(127);
      }
      dup2(inputPipe[0], STDIN_FILENO);
      dup2(outputPipe[1], STDOUT_FILENO);
      dup2(outputPipe[1], STDERR_FILENO);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGPIPE, SIG_DFL);  // a test may ignore it; the program under test chooses for itself
      execvpe(executable.c_str(), argv.data(), envp.data());
      // Seen as the process's only line; a program being relinked at that moment is one cause.
      const char failed[] = "ChildProcess: exec failed\n";
      [[maybe_unused]] const auto ignored = write(STDERR_FILENO, failed, sizeof failed - 1);
      _exit(127);
    }
    close(outputPipe[1]);
    close(inputPipe[0]);
    output_ = outputPipe[0];
    input_ = inputPipe[1];
    if (pid_ < 0) {
      return;
    }
    reader_ = std::thread([this] { readLoop(); });
  }

  ~ChildProcess() {
    close(input_);
    if (pid_ > 0 && !exitStatus_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    // A grandchild that inherited the pipe would keep it open: the reader is then left behind.
    if (reader_.joinable()) {
      if (waitForEndOfOutput(std::chrono::seconds(5))) {
        reader_.join();
      } else {
        reader_.detach();
        return;
      }
    }
    close(output_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The first line matching, with its index; nothing when the output ended or time ran out first.
  // `matches` runs under the lines' lock and must not call back into this object.
  std::optional<std::pair<std::size_t, std::string>> waitForLine(const std::function<bool(const std::string&)>& matches,
                                                                 std::chrono::milliseconds timeout = kLineWait,
                                                                 std::optional<std::size_t> fromLine = std::nullopt) {
    std::unique_lock lock(linesLock_);
    std::size_t next = fromLine.value_or(sequence_);
    std::optional<std::pair<std::size_t, std::string>> found;
    linesChanged_.wait_for(lock, timeout, [&] {
      for (; next < lines_.size(); ++next) {
        if (matches(lines_[next])) {
          found.emplace(next, lines_[next]);
          return true;
        }
      }
      return outputEnded_;
    });
    if (found && !fromLine) {
      sequence_ = found->first + 1;
    }
    return found;
  }

  std::optional<std::string> waitForLineContaining(const std::string& text,
                                                   std::chrono::milliseconds timeout = kLineWait,
                                                   std::optional<std::size_t> fromLine = std::nullopt) {
    auto found = waitForLine([&](const std::string& line) { return line.find(text) != std::string::npos; }, timeout,
                             fromLine);
    return found ? std::optional(found->second) : std::nullopt;
  }

  // The rest of the next line in sequence that starts with `prefix`.
  std::optional<std::string> waitForLineStartingWith(const std::string& prefix,
                                                     std::chrono::milliseconds timeout = kLineWait) {
    auto found = waitForLine([&](const std::string& line) { return line.starts_with(prefix); }, timeout);
    return found ? std::optional(found->second.substr(prefix.size())) : std::nullopt;
  }

  // False when time ran out before the process closed its output.
  bool waitForEndOfOutput(std::chrono::milliseconds timeout) {
    std::unique_lock lock(linesLock_);
    return linesChanged_.wait_for(lock, timeout, [this] { return outputEnded_; });
  }

  std::vector<std::string> lines() const {
    std::lock_guard lock(linesLock_);
    return lines_;
  }
  std::size_t lineCount() const { return countLinesContaining(""); }
  std::size_t countLinesContaining(const std::string& text, std::size_t fromLine = 0) const {
    std::lock_guard lock(linesLock_);
    std::size_t count = 0;
    for (std::size_t index = fromLine; index < lines_.size(); ++index) {
      count += lines_[index].find(text) != std::string::npos ? 1 : 0;
    }
    return count;
  }
  std::string output() const {
    std::string joined;
    for (const auto& line : lines()) {
      joined += line + "\n";
    }
    return joined;
  }

  // False when the process no longer reads its input.
  bool writeLine(const std::string& line) {
    const std::string text = line + "\n";
    for (std::size_t written = 0; written < text.size();) {
      const auto count = write(input_, text.data() + written, text.size() - written);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        return false;
      }
      written += static_cast<std::size_t>(count);
    }
    return true;
  }

  void signal(int signalNumber) const {
    if (pid_ > 0 && !exitStatus_) {
      kill(pid_, signalNumber);
    }
  }

  // The exit status (128 + signal for a killed process), or nothing when it did not end in time.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kLineWait) {
    if (exitStatus_ || pid_ <= 0) {
      return exitStatus_;
    }
    // The end of the output comes with the exit; waitpid then has at most a moment to wait.
    if (!waitForEndOfOutput(timeout)) {
      return std::nullopt;
    }
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) {
      return std::nullopt;
    }
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exitStatus_;
  }

  // SIGTERM, then the exit status as waitForExit gives it.
  std::optional<int> terminate(std::chrono::milliseconds timeout = kLineWait) {
    signal(SIGTERM);
    return waitForExit(timeout);
  }

 private:
  static std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (auto& text : texts) {
      pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
  }

  void readLoop() {
    std::string pending;
    char buffer[8192];
    while (true) {
      const auto count = read(output_, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        break;
      }
      pending.append(buffer, static_cast<std::size_t>(count));
      std::vector<std::string> complete;
      for (auto newline = pending.find('\n'); newline != std::string::npos; newline = pending.find('\n')) {
        complete.push_back(pending.substr(0, newline));
        pending.erase(0, newline + 1);
        if (lineObserver_) {
          lineObserver_(complete.back());  // before any waiter sees the line
        }
      }
      std::lock_guard lock(linesLock_);
      lines_.insert(lines_.end(), complete.begin(), complete.end());
      linesChanged_.notify_all();
    }
    std::lock_guard lock(linesLock_);
    if (!pending.empty()) {
      lines_.push_back(pending);
    }
    outputEnded_ = true;
    linesChanged_.notify_all();
  }

  pid_t pid_ = -1;
  int output_ = -1;
  int input_ = -1;
  const LineObserver lineObserver_;
  std::thread reader_;

  mutable std::mutex linesLock_;
  std::condition_variable linesChanged_;
  std::vector<std::string> lines_;
  std::size_t sequence_ = 0;
  bool outputEnded_ = false;

  std::optional<int> exitStatus_;
};

}  // namespace velmora::testing
