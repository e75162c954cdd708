#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "tests/reliability/session_under_test.h"

namespace velmora::reliability {

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

void addProcessFigures(const std::string& scenario, const std::string& when, const ProcessFigures& figures);
// The host of a sanitizer build keeps freed memory in quarantine, so its resident size is judged
// only in other builds.
void expectResidentGrowthWithinLimit(const ProcessFigures& start, const ProcessFigures& end);
std::string milliseconds(double value);
// Runs `command` through the shell, its output discarded; true when it succeeded.
bool shell(const std::string& command);
// True when this process has a network namespace of its own with only loopback in it.
bool inPrivateNetworkNamespace();

// Each test gets a folder of its own for settings, lock and scripts.
class ReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Waits until the host's descriptors are back within the limit of `start` (closing sockets is
  // asynchronous in the host); the figures at the end of the wait.
  static ProcessFigures settledFigures(HostUnderTest& host, const ProcessFigures& start);

  std::filesystem::path home_;
};

}  // namespace velmora::reliability
