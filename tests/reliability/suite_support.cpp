#include "tests/reliability/suite_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace velmora::reliability {

using namespace std::chrono_literals;

bool longMode = false;
FigureTable figureTable;

namespace {

// ASan's quarantine of freed memory makes resident size meaningless.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kUnderAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

std::int64_t countEntries(const std::filesystem::path& folder) {
  std::error_code error;
  std::int64_t count = 0;
  for (std::filesystem::directory_iterator each(folder, error), end; !error && each != end; each.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

}  // namespace

void FigureTable::add(const std::string& scenario, const std::string& figure, const std::string& value) {
  std::lock_guard lock(rowsLock_);
  rows_.push_back({scenario, figure, value});
}

void FigureTable::print() const {
  std::lock_guard lock(rowsLock_);
  std::printf("\n%-22s %-52s %s\n", "case", "figure", "value");
  for (const auto& row : rows_) {
    std::printf("%-22s %-52s %s\n", row[0].c_str(), row[1].c_str(), row[2].c_str());
  }
  std::fflush(stdout);
}

ProcessFigures readProcessFigures(pid_t pid) {
  ProcessFigures figures;
  const std::filesystem::path folder = "/proc/" + std::to_string(pid);
  std::ifstream status(folder / "status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) {
      figures.residentKiB = std::stoll(line.substr(6));
    }
  }
  figures.fileDescriptors = countEntries(folder / "fd");
  figures.threads = countEntries(folder / "task");
  return figures;
}

void expectNoGrowth(const std::string& scenario, const ProcessFigures& start, const ProcessFigures& end) {
  const auto figures = [](const ProcessFigures& at) {
    return std::to_string(at.residentKiB) + " / " + std::to_string(at.fileDescriptors) + " / " +
           std::to_string(at.threads);
  };
  figureTable.add(scenario, "host KiB / descriptors / threads, start -> end", figures(start) + " -> " + figures(end));
  EXPECT_LE(end.fileDescriptors, start.fileDescriptors + kDescriptorGrowthLimit) << "the host keeps descriptors";
  EXPECT_LE(end.threads, start.threads + kThreadGrowthLimit) << "the host keeps threads";
  if (!kUnderAddressSanitizer) {
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
  return std::count(std::istreambuf_iterator<char>(devices), {}, '\n') == 3;
}

ClientOutcome runClient(const std::filesystem::path& home, const std::string& name,
                        const std::vector<std::string>& scriptLines, const std::vector<std::string>& options,
                        std::chrono::seconds timeout) {
  auto arguments = options;
  arguments.insert(arguments.end(), {"--duration", "0.5"});
  auto client = testing::startClient(home, name, scriptLines, arguments);
  auto outcome = testing::finishClient(*client, timeout);
  if (outcome.status != 0) {
    ADD_FAILURE() << name << " ended with " << outcome.status << "\n" << client->output();
  }
  return outcome;
}

StreamingClient::StreamingClient(const std::filesystem::path& home, std::vector<std::string> options,
                                 std::uint64_t maximumPictures, std::chrono::seconds stallTimeout) {
  std::vector<std::string> lines;
  picturesBeforeLine_ = {0, 0};  // line numbers start at 1
  std::uint64_t satisfied = 0;
  const auto add = [&](std::string line) {
    lines.push_back(std::move(line));
    picturesBeforeLine_.push_back(satisfied);
  };
  for (std::uint64_t target = picturesPerStep; target <= maximumPictures; target += picturesPerStep) {
    add(testing::waitForPicturesLine(target, stallTimeout));
    satisfied = target;
    const auto step = target / picturesPerStep;
    add(R"({"mouseMove": {"x": )" + std::to_string(100 + step % 500) + R"(, "y": )" + std::to_string(100 + step % 300) +
        "}}");
    for (const char* direction : {"keyDown", "keyUp"}) {
      add(std::string(R"({")") + direction + R"(": {"keyCode": )" + std::to_string(step % kKeyCodeCycle) +
          R"(, "modifiers": 0}})");
    }
    add(R"({"sleep": 0.01})");
  }
  options.insert(options.end(), {"--duration", "3600"});
  process_ = testing::startClient(home, "streaming", lines, options, {},
                                  [this](const std::string& line) { observe(line); });
}

void StreamingClient::observe(const std::string& line) {
  const std::string marker = "Script line ";
  const auto found = line.find(marker);
  if (found == std::string::npos) {
    return;
  }
  const auto number = std::strtoull(line.c_str() + found + marker.size(), nullptr, 10);
  if (number < picturesBeforeLine_.size()) {
    picturesAtLeast_ = std::max(picturesAtLeast_.load(), picturesBeforeLine_[number]);
  }
}

bool StreamingClient::waitForPictures(std::uint64_t count, std::chrono::seconds timeout) {
  // Each script line the client reaches is a line of output.
  const auto deadline = ChildProcess::Clock::now() + timeout;
  while (picturesAtLeast() < count) {
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ChildProcess::Clock::now());
    if (remaining.count() <= 0 ||
        !process_->waitForLine([](const std::string&) { return true; }, remaining, process_->lineCount())) {
      return picturesAtLeast() >= count;
    }
  }
  return true;
}

std::optional<std::string> keysOutOfOrder(const std::vector<std::string>& hostLines, std::uint64_t& posted) {
  const std::string marker = "keyDown posted: keyCode=";
  posted = 0;
  for (const auto& line : hostLines) {
    const auto found = line.find(marker);
    if (found == std::string::npos) {
      continue;
    }
    const auto keyCode = std::strtoull(line.c_str() + found + marker.size(), nullptr, 10);
    // The client's steps start at 1.
    if (keyCode != (posted + 1) % StreamingClient::kKeyCodeCycle) {
      return "key " + std::to_string(posted + 1) + " was posted as keyCode " + std::to_string(keyCode);
    }
    ++posted;
  }
  return std::nullopt;
}

ProcessFigures settledFigures(HostUnderTest& host, const ProcessFigures& start) {
  auto figures = readProcessFigures(host.process().pid());
  for (int attempt = 0; attempt < 150 && figures.fileDescriptors > start.fileDescriptors + kDescriptorGrowthLimit;
       ++attempt) {
    // Nothing announces the close of a socket the host cancelled; its fd table is looked at again.
    std::this_thread::sleep_for(100ms);
    figures = readProcessFigures(host.process().pid());
  }
  return figures;
}

}  // namespace velmora::reliability
