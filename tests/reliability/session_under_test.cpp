#include "tests/reliability/session_under_test.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>

namespace velmora::reliability {
namespace {

using namespace std::chrono_literals;

std::int64_t countEntries(const std::filesystem::path& folder) {
  std::error_code error;
  std::int64_t count = 0;
  for (std::filesystem::directory_iterator each(folder, error), end; !error && each != end; each.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

}  // namespace

std::string hostBinary() {
  const char* chosen = std::getenv("VELMORA_RELIABILITY_HOST");
  return chosen != nullptr ? chosen : VELMORA_HOST_BINARY;
}

std::string clientBinary() {
  const char* chosen = std::getenv("VELMORA_RELIABILITY_CLIENT");
  return chosen != nullptr ? chosen : VELMORA_CLIENT_BINARY;
}

std::string faultInjectingHostBinary() {
  const char* chosen = std::getenv("VELMORA_RELIABILITY_FAULT_HOST");
  return chosen != nullptr ? chosen : VELMORA_FAULT_HOST_BINARY;
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

std::vector<std::string> testEnvironment(const std::filesystem::path& home) {
  // With glibc's default of up to eight arenas a core, every new x265 or capture thread may
  // allocate in another arena, and resident memory then measures the allocator's fragmentation
  // more than what the host holds; two arenas keep it a measure of leaks.
  return {"XDG_CONFIG_HOME=" + home.string(), "XDG_RUNTIME_DIR=" + home.string(), "MALLOC_ARENA_MAX=2"};
}

std::string waitForPicturesLine(std::uint64_t count, std::chrono::seconds timeout) {
  return R"({"waitForPictures": {"display": 0, "count": )" + std::to_string(count) + R"(, "timeout": )" +
         std::to_string(timeout.count()) + "}}";
}

std::filesystem::path writeScript(const std::filesystem::path& home, const std::string& name,
                                  const std::vector<std::string>& lines) {
  const auto path = home / (name + ".jsonl");
  std::ofstream script(path);
  for (const auto& line : lines) {
    script << line << "\n";
  }
  return path;
}

HostUnderTest::HostUnderTest(const std::filesystem::path& home, const std::string& displays,
                             std::vector<std::string> extraArguments, const std::string& executable) {
  std::vector<std::string> arguments = {"--headless", "--backend", "virtual", "--virtual-displays", displays};
  arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
  const std::string codePrefix = "Verification code: ";
  process_ = std::make_unique<WatchedProcess>(executable, arguments, testEnvironment(home),
                                              [this, codePrefix](const std::string& line) {
                                                if (line.starts_with(codePrefix)) {
                                                  code_ = std::stoi(line.substr(codePrefix.size()));
                                                }
                                              });
  ready_ = process_->started() && process_->waitForLineContaining("Control server listening", 30s) &&
           process_->waitForLineContaining(codePrefix, 30s);
}

std::string HostUnderTest::code() const {
  char text[8];
  std::snprintf(text, sizeof text, "%04d", code_.load());
  return text;
}

std::string HostUnderTest::wrongCode() const {
  thread_local std::mt19937 random{std::random_device{}()};
  int wrong = code_.load();
  while (wrong == code_.load()) {
    wrong = static_cast<int>(random() % 10000);
  }
  char text[8];
  std::snprintf(text, sizeof text, "%04d", wrong);
  return text;
}

StreamingClient::StreamingClient(const std::filesystem::path& home, const std::string& host,
                                 std::vector<std::string> options, std::uint64_t maximumPictures,
                                 std::chrono::seconds stallTimeout) {
  std::vector<std::string> lines;
  picturesBeforeLine_ = {0, 0};  // line numbers start at 1
  std::uint64_t satisfied = 0;
  for (std::uint64_t target = picturesPerStep; target <= maximumPictures; target += picturesPerStep) {
    lines.push_back(waitForPicturesLine(target, stallTimeout));
    picturesBeforeLine_.push_back(satisfied);
    satisfied = target;
    const auto step = target / picturesPerStep;
    lines.push_back(R"({"mouseMove": {"x": )" + std::to_string(100 + step % 500) + R"(, "y": )" +
                    std::to_string(100 + step % 300) + "}}");
    picturesBeforeLine_.push_back(satisfied);
    for (const char* direction : {"keyDown", "keyUp"}) {
      lines.push_back(std::string(R"({")") + direction + R"(": {"keyCode": )" +
                      std::to_string(step % kKeyCodeCycle) + R"(, "modifiers": 0}})");
      picturesBeforeLine_.push_back(satisfied);
    }
    lines.push_back(R"({"sleep": 0.01})");
    picturesBeforeLine_.push_back(satisfied);
  }
  const auto script = writeScript(home, "streaming", lines);
  std::vector<std::string> arguments = {"--host",     host,  "--preferred-height", "720", "--script", script.string(),
                                        "--duration", "3600"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  process_ = std::make_unique<WatchedProcess>(clientBinary(), arguments, testEnvironment(home),
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

bool StreamingClient::waitForPictures(std::uint64_t count, std::chrono::seconds timeout) {
  // Each script line the client reaches is a line of output; waiting for output
  // is waiting for progress.
  const auto deadline = WatchedProcess::Clock::now() + timeout;
  while (picturesAtLeast() < count) {
    const auto remaining =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - WatchedProcess::Clock::now());
    if (remaining.count() <= 0) {
      return false;
    }
    const auto seen = process_->lineCount();
    if (!process_->waitForLine([](const std::string&) { return true; }, remaining, seen)) {
      return picturesAtLeast() >= count;
    }
  }
  return true;
}

std::pair<int, nlohmann::json> StreamingClient::stop() {
  process_->signal(SIGTERM);
  return finishClient(*process_, 30s);
}

std::pair<int, nlohmann::json> finishClient(WatchedProcess& client, std::chrono::seconds timeout) {
  const auto status = client.waitForExit(timeout);
  if (!status) {
    return {-1, nlohmann::json::object()};
  }
  // The report is the one line of JSON on standard output; the log goes to
  // standard error.
  for (const auto& line : client.lines()) {
    if (line.starts_with("{")) {
      auto report = nlohmann::json::parse(line, nullptr, false);
      if (!report.is_discarded()) {
        return {*status, report};
      }
    }
  }
  return {*status, nlohmann::json::object()};
}

nlohmann::json displayStatistics(const nlohmann::json& report, int streamNumber) {
  const auto displays = report.value("video", nlohmann::json::object()).value("displays", nlohmann::json::array());
  for (const auto& each : displays) {
    if (each.value("displayID", -1) == streamNumber) {
      return each;
    }
  }
  return nlohmann::json::object();
}

}  // namespace velmora::reliability
