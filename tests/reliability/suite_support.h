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
// Descriptors, threads and (but under ASan's quarantine) memory within their limits of `start`.
void expectNoGrowth(const std::string& scenario, const ProcessFigures& start, const ProcessFigures& end);
std::string milliseconds(double value);
bool shell(const std::string& command);
// True when this process has a network namespace of its own with only loopback in it.
bool inPrivateNetworkNamespace();

// A client run to its end with `--duration 0.5`; a failure unless it ends with 0.
ClientOutcome runClient(const std::filesystem::path& home, const std::string& name,
                        const std::vector<std::string>& scriptLines, const std::vector<std::string>& options,
                        std::chrono::seconds timeout = std::chrono::seconds(120));

// A velmora-client whose script alternates waits for ever more pictures with a mouse move and a key
// press whose code counts up, so the host's log shows their order; the script lines it logs tell
// how many pictures it has decoded at least.
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

// Why the host did not post a StreamingClient's keys in order, none missing; `posted`: how many.
std::optional<std::string> keysOutOfOrder(const std::vector<std::string>& hostLines, std::uint64_t& posted);

using ReliabilityTest = testing::SessionTest;
// The figures once the host's descriptors are back within the limit of `start` (it closes sockets
// asynchronously).
ProcessFigures settledFigures(HostUnderTest& host, const ProcessFigures& start);

}  // namespace velmora::reliability
