#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace velmora::testing {

// A program a test starts. Its output and error are read line by line on a thread of its own, so a
// chatty process never blocks on a full pipe; its input is a pipe. Killed with the object, and
// with the test process if that dies first. Without `fromLine`, lines are waited for in sequence.
class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;
  using LineObserver = std::function<void(const std::string&)>;
  using Found = std::optional<std::pair<std::size_t, std::string>>;
  static constexpr std::chrono::milliseconds kLineWait{20000};

  // `executable` is looked up in PATH when it has no slash.
  ChildProcess(const std::string& executable, const std::vector<std::string>& arguments,
               const std::vector<std::string>& extraEnvironment = {}, LineObserver lineObserver = {})
      : lineObserver_(std::move(lineObserver)) {
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
      return;
    }
    std::vector<std::string> argumentTexts = {executable};
    argumentTexts.insert(argumentTexts.end(), arguments.begin(), arguments.end());
    std::vector<std::string> environmentTexts = extraEnvironment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
      environmentTexts.emplace_back(*variable);
    }
    auto argv = pointersTo(argumentTexts);
    auto envp = pointersTo(environmentTexts);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {  // only async-signal-safe calls from here on
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) {
        _exit(127);
      }
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      ::signal(SIGPIPE, SIG_DFL);
      execvpe(executable.c_str(), argv.data(), envp.data());
      const char failed[] = "ChildProcess: exec failed\n";
      [[maybe_unused]] const auto ignored = write(STDERR_FILENO, failed, sizeof failed - 1);
      _exit(127);
    }
    close(out[1]);
    close(in[0]);
    output_ = out[0];
    input_ = in[1];
    if (pid_ > 0) {
      reader_ = std::thread([this] { readLoop(); });
    }
  }

  ~ChildProcess() {
    close(input_);
    signal(SIGKILL);
    waitForExit(std::chrono::seconds(5));
    if (reader_.joinable() && !waitForEndOfOutput(std::chrono::milliseconds(0))) {
      reader_.detach();  // a grandchild that inherited the pipe keeps it open
      return;
    }
    if (reader_.joinable()) {
      reader_.join();
    }
    close(output_);
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The first line matching, with its index; nothing when the output ended or time ran out first.
  // `matches` runs under the lines' lock.
  Found waitForLine(const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout = kLineWait,
                    std::optional<std::size_t> fromLine = std::nullopt) {
    std::unique_lock lock(linesLock_);
    std::size_t next = fromLine.value_or(sequence_);
    Found found;
    linesChanged_.wait_for(lock, timeout, [&] {
      for (; next < lines_.size() && !found; ++next) {
        if (matches(lines_[next])) {
          found.emplace(next, lines_[next]);
        }
      }
      return found || outputEnded_;
    });
    if (found && !fromLine) {
      sequence_ = found->first + 1;
    }
    return found;
  }

  std::optional<std::string> waitForLineContaining(const std::string& text, std::chrono::milliseconds timeout = kLineWait,
                                                   std::optional<std::size_t> fromLine = std::nullopt) {
    auto found = waitForLine([&](const std::string& line) { return line.find(text) != std::string::npos; }, timeout, fromLine);
    return found ? std::optional(found->second) : std::nullopt;
  }

  // The rest of the next line in sequence that starts with `prefix`.
  std::optional<std::string> waitForLineStartingWith(const std::string& prefix,
                                                     std::chrono::milliseconds timeout = kLineWait) {
    auto found = waitForLine([&](const std::string& line) { return line.starts_with(prefix); }, timeout);
    return found ? std::optional(found->second.substr(prefix.size())) : std::nullopt;
  }

  bool waitForEndOfOutput(std::chrono::milliseconds timeout) {
    std::unique_lock lock(linesLock_);
    return linesChanged_.wait_for(lock, timeout, [this] { return outputEnded_; });
  }

  std::vector<std::string> lines() const {
    std::lock_guard lock(linesLock_);
    return lines_;
  }
  std::size_t lineCount() const { return lines().size(); }
  std::size_t countLinesContaining(const std::string& text) const {
    return std::ranges::count_if(lines(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
  }
  std::string output() const {
    std::string joined;
    std::ranges::for_each(lines(), [&](const std::string& line) { joined += line + "\n"; });
    return joined;
  }

  // False when the process no longer reads its input.
  bool writeLine(const std::string& line) {
    const std::string text = line + "\n";
    return write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  void signal(int signalNumber) const {
    if (pid_ > 0 && !exitStatus_) {
      kill(pid_, signalNumber);
    }
  }

  // The exit status (128 + signal for a killed process), or nothing when it did not end in time.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kLineWait) {
    int status = 0;
    if (!exitStatus_ && pid_ > 0 && waitForEndOfOutput(timeout) && waitpid(pid_, &status, 0) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return exitStatus_;
  }

  std::optional<int> terminate(std::chrono::milliseconds timeout = kLineWait) {
    signal(SIGTERM);
    return waitForExit(timeout);
  }

 private:
  static std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers(texts.size() + 1, nullptr);
    std::ranges::transform(texts, pointers.begin(), [](std::string& text) { return text.data(); });
    return pointers;
  }

  void readLoop() {
    std::string pending;
    char buffer[8192];
    for (ssize_t count; (count = read(output_, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR);) {
      pending.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
      for (auto newline = pending.find('\n'); newline != std::string::npos; newline = pending.find('\n')) {
        std::string line = pending.substr(0, newline);
        pending.erase(0, newline + 1);
        if (lineObserver_) {
          lineObserver_(line);  // before any waiter sees the line
        }
        std::lock_guard lock(linesLock_);
        lines_.push_back(std::move(line));
        linesChanged_.notify_all();
      }
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

// Whether `condition` holds within `timeout`, checked every `interval`: for what only another
// process changes (a file written, a name on a bus, a process gone).
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                std::chrono::milliseconds interval = std::chrono::milliseconds(20)) {
  for (const auto until = std::chrono::steady_clock::now() + timeout; !condition(); std::this_thread::sleep_for(interval)) {
    if (std::chrono::steady_clock::now() > until) {
      return false;
    }
  }
  return true;
}

// Waits until `file` holds `expected` (or ten seconds pass) and returns what it holds.
inline std::string awaitFileContents(const std::string& file, const std::string& expected) {
  std::string contents;
  for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
       contents != expected && std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
    std::ifstream stream(file, std::ios::binary);
    contents.assign(std::istreambuf_iterator<char>(stream), {});
  }
  return contents;
}

// What a shell command wrote to its standard output (its standard error goes to the test's).
inline std::string shellOutput(const std::string& command) {
  std::string text;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    std::array<char, 4096> buffer{};
    for (std::size_t count = 0; (count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
      text.append(buffer.data(), count);
    }
    pclose(pipe);
  }
  return text;
}

}  // namespace velmora::testing
