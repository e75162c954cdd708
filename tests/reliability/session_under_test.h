#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/reliability/watched_process.h"

namespace velmora::reliability {

// The programs under test: those of this build, or the ones
// VELMORA_RELIABILITY_HOST and VELMORA_RELIABILITY_CLIENT name (a sanitizer
// build's, say).
std::string hostBinary();
std::string clientBinary();
// velmora-host with a fault plan it takes on standard input (fault_injecting_host.cpp); or the one
// VELMORA_RELIABILITY_FAULT_HOST names.
std::string faultInjectingHostBinary();

// Resident memory, descriptors and threads of a process, from /proc.
struct ProcessFigures {
  std::int64_t residentKiB = -1;
  std::int64_t fileDescriptors = -1;
  std::int64_t threads = -1;
};
ProcessFigures readProcessFigures(pid_t pid);

// A velmora-host on virtual displays, headless, whose verification code is
// followed as it prints it.
class HostUnderTest {
 public:
  HostUnderTest(const std::filesystem::path& home, const std::string& displays,
                std::vector<std::string> extraArguments = {}, const std::string& executable = hostBinary());

  bool ready() const { return ready_; }
  std::string code() const;
  // A four-digit code that is not the one the host asks for now.
  std::string wrongCode() const;
  WatchedProcess& process() { return *process_; }
  ProcessFigures figures() const { return readProcessFigures(process_->pid()); }

 private:
  std::atomic<int> code_{-1};
  std::unique_ptr<WatchedProcess> process_;
  bool ready_ = false;
};

// A velmora-client whose script alternates waits for ever more pictures of
// display 0 with a mouse move and a key press, the key codes counting up
// (modulo kKeyCodeCycle) so that the host's log shows their order. The client logs each script line as it reaches
// it, which tells, while it runs, how many pictures it has decoded at least (to
// `picturesPerStep`).
class StreamingClient {
 public:
  static constexpr std::uint64_t picturesPerStep = 5;
  static constexpr std::uint64_t kKeyCodeCycle = 50;

  // `maximumPictures` bounds the script; afterwards the client keeps receiving
  // until it is stopped.
  StreamingClient(const std::filesystem::path& home, const std::string& host, std::vector<std::string> options,
                  std::uint64_t maximumPictures, std::chrono::seconds stallTimeout);

  std::uint64_t picturesAtLeast() const { return picturesAtLeast_.load(); }
  // Waits until picturesAtLeast() reaches `count`; false if the client ended or
  // the time ran out first.
  bool waitForPictures(std::uint64_t count, std::chrono::seconds timeout);
  // Asks the client to end (SIGTERM) and returns its exit status and report.
  std::pair<int, nlohmann::json> stop();
  WatchedProcess& process() { return *process_; }

 private:
  void observe(const std::string& line);

  std::vector<std::uint64_t> picturesBeforeLine_;  // by script line number
  std::atomic<std::uint64_t> picturesAtLeast_{0};
  std::unique_ptr<WatchedProcess> process_;
};

// Checks that the keys a StreamingClient pressed were posted by the host in
// the order sent with none missing in between; why not, if they were not.
// `posted` is how many were.
std::optional<std::string> keysOutOfOrder(const std::vector<std::string>& hostLines, std::uint64_t& posted);
// Runs a client to its end; its exit status (-1 when it did not end) and its
// final JSON report.
std::pair<int, nlohmann::json> finishClient(WatchedProcess& client, std::chrono::seconds timeout);
// One display's receive statistics in a client report; empty when there are
// none.
nlohmann::json displayStatistics(const nlohmann::json& report, int streamNumber);
// The environment every process of one test shares: its own settings and lock
// folders.
std::vector<std::string> testEnvironment(const std::filesystem::path& home);
// The client script line that waits until display 0 has decoded `count`
// pictures in all.
std::string waitForPicturesLine(std::uint64_t count, std::chrono::seconds timeout);
// Writes a client script, one JSON text per line.
std::filesystem::path writeScript(const std::filesystem::path& home, const std::string& name,
                                  const std::vector<std::string>& lines);

}  // namespace velmora::reliability
