#include "tests/support/session_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace velmora::testing {

using namespace std::chrono_literals;

namespace {

const std::string kCodePrefix = "Verification code: ";

std::string chosenOr(const char* variable, const char* fallback) {
  const char* chosen = std::getenv(variable);
  return chosen != nullptr ? chosen : fallback;
}

std::string fourDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04d", value);
  return text;
}

}  // namespace

std::string hostBinary() { return chosenOr("VELMORA_TEST_HOST", VELMORA_HOST_BINARY); }
std::string clientBinary() { return chosenOr("VELMORA_TEST_CLIENT", VELMORA_CLIENT_BINARY); }

std::vector<std::string> sessionEnvironment(const std::filesystem::path& home) {
  // Two malloc arenas, so that resident memory measures leaks rather than arena fragmentation.
  return {"XDG_CONFIG_HOME=" + home.string(), "XDG_RUNTIME_DIR=" + home.string(), "MALLOC_ARENA_MAX=2"};
}

void SessionTest::SetUp() {
  char pattern[] = "/tmp/velmora-session-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  home_ = pattern;
}

void SessionTest::TearDown() {
  if (!home_.empty()) {
    std::filesystem::remove_all(home_);
  }
}

std::vector<std::string> virtualHostArguments(const std::string& displays, std::vector<std::string> more) {
  std::vector<std::string> arguments = {"--headless", "--backend", "virtual", "--virtual-displays", displays};
  arguments.insert(arguments.end(), more.begin(), more.end());
  return arguments;
}

HostUnderTest::HostUnderTest(const std::filesystem::path& home, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& extraEnvironment, const std::string& executable) {
  auto environment = sessionEnvironment(home);
  environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
  process_ = std::make_unique<ChildProcess>(executable, arguments, environment, [this](const std::string& line) {
    if (line.starts_with(kCodePrefix)) {
      code_ = std::atoi(line.c_str() + kCodePrefix.size());
    }
  });
  ready_ = process_->started() && process_->waitForLineContaining("Control server listening", 30s, 0);
}

std::string HostUnderTest::code() {
  process_->waitForLine([](const std::string& line) { return line.starts_with(kCodePrefix); }, 30s, 0);
  return fourDigits(code_.load());
}

std::string HostUnderTest::wrongCode() { return fourDigits((std::atoi(code().c_str()) + 1) % 10000); }

std::string waitForPicturesLine(std::uint64_t count, std::chrono::seconds timeout, int display) {
  return nlohmann::json{{"waitForPictures", {{"display", display}, {"count", count}, {"timeout", timeout.count()}}}}
      .dump();
}

std::unique_ptr<ChildProcess> startClient(const std::filesystem::path& home, const std::string& name,
                                          const std::vector<std::string>& scriptLines,
                                          const std::vector<std::string>& options,
                                          const std::vector<std::string>& extraEnvironment,
                                          ChildProcess::LineObserver observer) {
  const auto scriptPath = home / (name + ".jsonl");
  std::ofstream script(scriptPath);
  for (const auto& line : scriptLines) {
    script << line << "\n";
  }
  script.close();
  std::vector<std::string> arguments = {"--preferred-height", "720", "--script", scriptPath.string()};
  if (std::find(options.begin(), options.end(), "--host") == options.end()) {
    arguments.insert(arguments.end(), {"--host", "127.0.0.1"});
  }
  arguments.insert(arguments.end(), options.begin(), options.end());
  auto environment = sessionEnvironment(home);
  environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
  auto client = std::make_unique<ChildProcess>(clientBinary(), arguments, environment, std::move(observer));
  EXPECT_TRUE(client->started());
  return client;
}

::testing::AssertionResult sessionEndedWithTheDesktop(ChildProcess& client) {
  const auto status = client.waitForExit(std::chrono::seconds(15));
  if (!status) {
    return ::testing::AssertionFailure() << "the client's session outlived the desktop\n" << client.output();
  }
  if (*status == 0) {
    return ::testing::AssertionFailure() << "the client reported success\n" << client.output();
  }
  return ::testing::AssertionSuccess();
}

ClientOutcome finishClient(ChildProcess& client, std::chrono::seconds timeout) {
  ClientOutcome outcome;
  const auto status = client.waitForExit(timeout);
  if (!status) {
    return outcome;
  }
  outcome.status = *status;
  // The report is the one line of JSON on standard output; the log goes to standard error.
  for (const auto& line : client.lines()) {
    if (line.starts_with("{")) {
      auto report = nlohmann::json::parse(line, nullptr, false);
      if (!report.is_discarded()) {
        outcome.report = std::move(report);
      }
    }
  }
  return outcome;
}

ClientOutcome stopClient(ChildProcess& client) {
  client.signal(SIGTERM);
  return finishClient(client, 30s);
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

std::string readFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(stream), {}};
}

std::string lastPicture(const std::filesystem::path& stream, const nlohmann::json& statistics) {
  const auto decoded = stream.string() + ".rgb";
  const auto size = std::size_t(statistics.value("width", 0)) * statistics.value("height", 0) * 3;
  const auto command = "ffmpeg -v error -y -i '" + stream.string() + "' -f rawvideo -pix_fmt rgb24 '" + decoded + "'";
  const auto pictures = std::system(command.c_str()) == 0 ? readFile(decoded) : std::string();
  return size == 0 || pictures.size() < size ? std::string() : pictures.substr(pictures.size() - size);
}

bool shows(const std::string& picture, int width, int x, int y, const Rgb& colour) {
  const auto at = (std::size_t(y) * width + x) * 3;
  if (picture.size() < at + 3) {
    return false;
  }
  for (int channel = 0; channel < 3; ++channel) {
    if (std::abs(static_cast<unsigned char>(picture[at + channel]) - colour[channel]) > 48) {
      return false;
    }
  }
  return true;
}

void expectDisplays(const nlohmann::json& displays, const std::vector<ExpectedDisplay>& expected) {
  ASSERT_EQ(displays.size(), expected.size()) << displays.dump();
  for (std::size_t index = 0; index < expected.size(); ++index) {
    const auto& [name, id, width, height] = expected[index];
    EXPECT_EQ(displays[index].value("name", ""), name);
    EXPECT_EQ(displays[index].value("id", 0u), id) << name;
    EXPECT_EQ(displays[index].value("isMain", false), index == 0) << name;
    EXPECT_EQ(displays[index].value("width", 0), width) << name;
    EXPECT_EQ(displays[index].value("height", 0), height) << name;
  }
}

}  // namespace velmora::testing
