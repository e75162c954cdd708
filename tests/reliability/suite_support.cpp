#include "tests/reliability/suite_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace velmora::reliability {

using namespace std::chrono_literals;

bool longMode = false;
FigureTable figureTable;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kResidentSizeIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kResidentSizeIsMeaningful = false;
#else
constexpr bool kResidentSizeIsMeaningful = true;
#endif
#else
constexpr bool kResidentSizeIsMeaningful = true;
#endif

}  // namespace

void FigureTable::add(const std::string& scenario, const std::string& figure, const std::string& value) {
  std::lock_guard lock(rowsLock_);
  rows_.push_back({scenario, figure, value});
}

void FigureTable::add(const std::string& scenario, const std::string& figure, std::int64_t value) {
  add(scenario, figure, std::to_string(value));
}

void FigureTable::print() const {
  std::lock_guard lock(rowsLock_);
  std::printf("\n%-22s %-52s %s\n", "case", "figure", "value");
  for (const auto& row : rows_) {
    std::printf("%-22s %-52s %s\n", row[0].c_str(), row[1].c_str(), row[2].c_str());
  }
  std::fflush(stdout);
}

void addProcessFigures(const std::string& scenario, const std::string& when, const ProcessFigures& figures) {
  figureTable.add(scenario, "host resident memory " + when + " (KiB)", figures.residentKiB);
  figureTable.add(scenario, "host file descriptors " + when, figures.fileDescriptors);
  figureTable.add(scenario, "host threads " + when, figures.threads);
}

void expectResidentGrowthWithinLimit(const ProcessFigures& start, const ProcessFigures& end) {
  if (kResidentSizeIsMeaningful) {
    EXPECT_LE(end.residentKiB, start.residentKiB + kResidentGrowthLimitKiB) << "the host's memory keeps growing";
  }
}

std::string milliseconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", value);
  return text;
}

bool shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

bool inPrivateNetworkNamespace() {
  // This namespace's interfaces, after two heading lines: loopback alone.
  std::ifstream devices("/proc/net/dev");
  std::size_t lines = 0;
  for (std::string line; std::getline(devices, line);) {
    ++lines;
  }
  return lines == 3;
}

void ReliabilityTest::SetUp() {
  char pattern[] = "/tmp/velmora-reliability-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  home_ = pattern;
}

void ReliabilityTest::TearDown() { std::filesystem::remove_all(home_); }

ProcessFigures ReliabilityTest::settledFigures(HostUnderTest& host, const ProcessFigures& start) {
  auto figures = host.figures();
  for (int attempt = 0; attempt < 150 && figures.fileDescriptors > start.fileDescriptors + kDescriptorGrowthLimit;
       ++attempt) {
    // Nothing announces the close of a socket the host cancelled; its fd table is looked at again.
    std::this_thread::sleep_for(100ms);
    figures = host.figures();
  }
  return figures;
}

}  // namespace velmora::reliability
