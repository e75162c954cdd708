#include "tests/reliability/watched_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace velmora::reliability {

WatchedProcess::WatchedProcess(const std::string& executable, const std::vector<std::string>& arguments,
                               const std::vector<std::string>& extraEnvironment,
                               std::function<void(const std::string&)> lineObserver)
    : lineObserver_(std::move(lineObserver)) {
  int outputPipe[2];
  if (pipe2(outputPipe, O_CLOEXEC) != 0) {
    return;
  }
  int inputPipe[2];
  if (pipe2(inputPipe, O_CLOEXEC) != 0) {
    close(outputPipe[0]);
    close(outputPipe[1]);
    return;
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

  // Forked by hand rather than spawned: the child asks to be killed with the test, so that a test
  // killed at its time limit leaves no host running. Only async-signal-safe calls after the fork.
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
    ::signal(SIGPIPE, SIG_DFL);  // the test ignores it; the program under test chooses for itself
    execve(executable.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outputPipe[1]);
  close(inputPipe[0]);
  output_ = outputPipe[0];
  input_ = inputPipe[1];
  reader_ = std::thread([this] { readLoop(); });
}

WatchedProcess::~WatchedProcess() {
  if (input_ >= 0) {
    close(input_);
  }
  if (pid_ > 0 && !exitStatus_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  // The killed process closed its end, so the reader sees the end of the
  // output. A grandchild holding the pipe would keep it open: the reader is
  // then left to the process exit.
  bool readerJoined = !reader_.joinable();
  if (reader_.joinable()) {
    std::unique_lock lock(linesLock_);
    const bool ended = linesChanged_.wait_for(lock, std::chrono::seconds(5), [this] { return outputEnded_; });
    lock.unlock();
    if (ended) {
      reader_.join();
      readerJoined = true;
    } else {
      reader_.detach();
    }
  }
  if (output_ >= 0 && readerJoined) {
    close(output_);
  }
}

void WatchedProcess::readLoop() {
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
    }
    if (complete.empty()) {
      continue;
    }
    if (lineObserver_) {
      for (const auto& line : complete) {
        lineObserver_(line);
      }
    }
    {
      std::lock_guard lock(linesLock_);
      lines_.insert(lines_.end(), complete.begin(), complete.end());
    }
    linesChanged_.notify_all();
  }
  {
    std::lock_guard lock(linesLock_);
    if (!pending.empty()) {
      lines_.push_back(pending);
    }
    outputEnded_ = true;
  }
  linesChanged_.notify_all();
}

std::optional<std::pair<std::size_t, std::string>> WatchedProcess::waitForLine(
    const std::function<bool(const std::string&)>& matches, std::chrono::milliseconds timeout, std::size_t fromLine) {
  std::unique_lock lock(linesLock_);
  std::size_t next = fromLine;
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
  return found;
}

std::optional<std::string> WatchedProcess::waitForLineContaining(const std::string& text,
                                                                 std::chrono::milliseconds timeout,
                                                                 std::size_t fromLine) {
  auto found =
      waitForLine([&](const std::string& line) { return line.find(text) != std::string::npos; }, timeout, fromLine);
  if (!found) {
    return std::nullopt;
  }
  return found->second;
}

bool WatchedProcess::waitForEndOfOutput(std::chrono::milliseconds timeout) {
  std::unique_lock lock(linesLock_);
  return linesChanged_.wait_for(lock, timeout, [this] { return outputEnded_; });
}

std::vector<std::string> WatchedProcess::lines() const {
  std::lock_guard lock(linesLock_);
  return lines_;
}

std::size_t WatchedProcess::lineCount() const {
  std::lock_guard lock(linesLock_);
  return lines_.size();
}

std::size_t WatchedProcess::countLinesContaining(const std::string& text) const {
  std::lock_guard lock(linesLock_);
  std::size_t count = 0;
  for (const auto& line : lines_) {
    count += line.find(text) != std::string::npos ? 1 : 0;
  }
  return count;
}

std::string WatchedProcess::output() const {
  std::lock_guard lock(linesLock_);
  std::string joined;
  for (const auto& line : lines_) {
    joined += line + "\n";
  }
  return joined;
}

bool WatchedProcess::writeLine(const std::string& line) {
  const std::string text = line + "\n";
  std::size_t written = 0;
  while (written < text.size()) {
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

void WatchedProcess::signal(int signalNumber) const {
  if (pid_ > 0 && !exitStatus_) {
    kill(pid_, signalNumber);
  }
}

std::optional<int> WatchedProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (exitStatus_ || pid_ <= 0) {
    return exitStatus_;
  }
  // The end of the output comes with the exit (nothing the host or client
  // starts keeps it open).
  const bool outputEnded = waitForEndOfOutput(timeout);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  do {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitStatus_;
    }
    if (!outputEnded) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (Clock::now() < deadline);
  return std::nullopt;
}

}  // namespace velmora::reliability
