#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velmora::reliability {

// A child process (velmora-host, velmora-client) whose standard output and
// error are drained by a thread of their own, so that a chatty process under
// attack never blocks on a full pipe. Lines are kept and can be waited for; the
// process is killed on destruction. Its standard input is a pipe the test can
// write lines to.
class WatchedProcess {
 public:
  using Clock = std::chrono::steady_clock;

  WatchedProcess(const std::string& executable, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& extraEnvironment,
                 std::function<void(const std::string&)> lineObserver = {});
  ~WatchedProcess();

  WatchedProcess(const WatchedProcess&) = delete;
  WatchedProcess& operator=(const WatchedProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The first line (from `fromLine` on) for which `matches` holds; its index
  // and text. `matches` runs under the lines' lock: it must not call back into
  // this object.
  std::optional<std::pair<std::size_t, std::string>> waitForLine(const std::function<bool(const std::string&)>& matches,
                                                                 std::chrono::milliseconds timeout,
                                                                 std::size_t fromLine = 0);
  std::optional<std::string> waitForLineContaining(const std::string& text, std::chrono::milliseconds timeout,
                                                   std::size_t fromLine = 0);
  // Waits until the output ends (the process closed it); false on timeout.
  bool waitForEndOfOutput(std::chrono::milliseconds timeout);

  std::vector<std::string> lines() const;
  std::size_t lineCount() const;
  std::size_t countLinesContaining(const std::string& text) const;
  std::string output() const;

  // Writes one line to the process's standard input; false when it cannot.
  bool writeLine(const std::string& line);
  void signal(int signalNumber) const;
  // The exit status (128 + signal for a killed process), or nothing when it did
  // not end in time.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);

 private:
  void readLoop();

  pid_t pid_ = -1;
  int output_ = -1;
  int input_ = -1;
  // Called on the reader thread for every line, in order, before waiters see
  // it.
  const std::function<void(const std::string&)> lineObserver_;
  std::thread reader_;

  mutable std::mutex linesLock_;
  std::condition_variable linesChanged_;
  std::vector<std::string> lines_;
  bool outputEnded_ = false;

  std::optional<int> exitStatus_;
};

}  // namespace velmora::reliability
