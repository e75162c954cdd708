#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/session_harness.h"

namespace velmora::reliability {

using testing::ChildProcess;
using testing::ClientOutcome;
using testing::HostUnderTest;
using testing::displayStatistics;
using testing::finishClient;
using testing::waitForPicturesLine;

inline constexpr std::uint16_t kControlPort = 5920;
inline constexpr std::int64_t kResidentGrowthLimitKiB = 64 * 1024;
inline constexpr std::int64_t kDescriptorGrowthLimit = 16;
inline constexpr std::int64_t kThreadGrowthLimit = 8;

// Set by main from --long or VELMORA_RELIABILITY_LONG=1: runs of many minutes instead of seconds.
extern bool longMode;

// Rows of the table printed after the run: case, figure, value.
class FigureTable {
 public:
  void add(const std::string& scenario, const std::string& figure, const std::string& value);
  void add(const std::string& scenario, const std::string& figure, std::int64_t value);
  void print() const;

 private:
  mutable std::mutex rowsLock_;
  std::vector<std::array<std::string, 3>> rows_;
};

extern FigureTable figureTable;

// Resident memory, descriptors and threads of a process, from /proc.
struct ProcessFigures {
  std::int64_t residentKiB = -1;
  std::int64_t fileDescriptors = -1;
  std::int64_t threads = -1;
};
ProcessFigures readProcessFigures(pid_t pid);
// Descriptors and threads back within their limits of `start`, and resident memory too except in a
// sanitizer build, whose quarantine of freed memory makes it meaningless; one row of the table.
void expectNoGrowth(const std::string& scenario, const ProcessFigures& start, const ProcessFigures& end);
std::string milliseconds(double value);
// Runs `command` through the shell, its output discarded; true when it succeeded.
bool shell(const std::string& command);
// True when this process has a network namespace of its own with only loopback in it.
bool inPrivateNetworkNamespace();

// velmora-host with a fault plan it takes on standard input (fault_injecting_host.cpp).
std::string faultInjectingHostBinary();

// A client run to its end with `--duration 0.5`; a failure when it did not end with 0.
ClientOutcome runClient(const std::filesystem::path& home, const std::string& name,
                        const std::vector<std::string>& scriptLines, const std::vector<std::string>& options,
                        std::chrono::seconds timeout = std::chrono::seconds(120));

// A velmora-client whose script alternates waits for ever more pictures of display 0 with a mouse
// move and a key press, the key codes counting up (modulo kKeyCodeCycle) so that the host's log
// shows their order. The client logs each script line as it reaches it, which tells, while it
// runs, how many pictures it has decoded at least (to `picturesPerStep`).
class StreamingClient {
 public:
  static constexpr std::uint64_t picturesPerStep = 5;
  static constexpr std::uint64_t kKeyCodeCycle = 50;

  // `maximumPictures` bounds the script; afterwards the client keeps receiving until stopped.
  StreamingClient(const std::filesystem::path& home, std::vector<std::string> options, std::uint64_t maximumPictures,
                  std::chrono::seconds stallTimeout);

  std::uint64_t picturesAtLeast() const { return picturesAtLeast_.load(); }
  // False if the client ended or the time ran out before picturesAtLeast() reached `count`.
  bool waitForPictures(std::uint64_t count, std::chrono::seconds timeout);
  ClientOutcome stop() { return testing::stopClient(*process_); }
  ChildProcess& process() { return *process_; }

 private:
  void observe(const std::string& line);

  std::vector<std::uint64_t> picturesBeforeLine_;  // by script line number
  std::atomic<std::uint64_t> picturesAtLeast_{0};
  std::unique_ptr<ChildProcess> process_;
};

// Why the keys a StreamingClient pressed were not posted by the host in the order sent with none
// missing in between; nothing when they were. `posted` is how many were.
std::optional<std::string> keysOutOfOrder(const std::vector<std::string>& hostLines, std::uint64_t& posted);

class ReliabilityTest : public testing::SessionTest {
 protected:
  // Waits until the host's descriptors are back within the limit of `start` (closing sockets is
  // asynchronous in the host); the figures at the end of the wait.
  static ProcessFigures settledFigures(HostUnderTest& host, const ProcessFigures& start);
};

}  // namespace velmora::reliability
