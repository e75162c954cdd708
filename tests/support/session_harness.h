#pragma once

// The real velmora-host and velmora-client as child processes in a home folder of the test's own.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/testing/child_process.h"

namespace velmora::testing {

// This build's programs, or those VELMORA_TEST_HOST and VELMORA_TEST_CLIENT name.
std::string hostBinary();
std::string clientBinary();

// Settings and lock folders in `home`, so tests never share trusted clients or the host lock.
std::vector<std::string> sessionEnvironment(const std::filesystem::path& home);

// Each test gets a fresh home folder, removed afterwards.
class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path home_;
};

// The arguments of a headless host on virtual displays ("1280x720,1024x768"), then `more`.
std::vector<std::string> virtualHostArguments(const std::string& displays, std::vector<std::string> more = {});

// A velmora-host whose verification code is followed as it prints it.
class HostUnderTest {
 public:
  HostUnderTest(const std::filesystem::path& home, const std::vector<std::string>& arguments,
                const std::vector<std::string>& extraEnvironment = {}, const std::string& executable = hostBinary());

  // True once the control server listens.
  bool ready() const { return ready_; }
  // The code shown last, as four digits; waits for the first.
  std::string code();
  // Four digits that are not the code asked for now.
  std::string wrongCode();
  ChildProcess& process() { return *process_; }
  std::optional<int> terminate() { return process_->terminate(); }

 private:
  std::atomic<int> code_{-1};
  std::unique_ptr<ChildProcess> process_;
  bool ready_ = false;
};

// A client script line: wait until `display` decoded `count` pictures in all.
std::string waitForPicturesLine(std::uint64_t count, std::chrono::seconds timeout = std::chrono::seconds(30),
                                int display = 0);

// A velmora-client at a preferred height of 720 running `scriptLines`, with `options` (to 127.0.0.1
// unless they name a --host); `observer` sees each line of its output.
std::unique_ptr<ChildProcess> startClient(const std::filesystem::path& home, const std::string& name,
                                          const std::vector<std::string>& scriptLines,
                                          const std::vector<std::string>& options,
                                          const std::vector<std::string>& extraEnvironment = {},
                                          ChildProcess::LineObserver observer = {});

// How a client ended (-1: it did not), and its report: the line of its output that is JSON.
struct ClientOutcome {
  int status = -1;
  nlohmann::json report = nlohmann::json::object();
};
ClientOutcome finishClient(ChildProcess& client, std::chrono::seconds timeout = std::chrono::seconds(60));
// Ends a client that would receive for longer, as its user would.
ClientOutcome stopClient(ChildProcess& client);
// Whether a streaming client's session ended within a few seconds of its host's desktop going
// away, with a failure status, as its user must see it.
::testing::AssertionResult sessionEndedWithTheDesktop(ChildProcess& client);

// One display's receive statistics in a report; empty when there are none.
nlohmann::json displayStatistics(const nlohmann::json& report, int streamNumber);

std::string readFile(const std::filesystem::path& path);

using Rgb = std::array<int, 3>;
// The last picture of a stream the client saved (--save-streams), decoded to RGB by ffmpeg; empty
// when it cannot be.
std::string lastPicture(const std::filesystem::path& stream, const nlohmann::json& statistics);
// Whether the pixel at (x, y) of a picture `width` wide has `colour`, give or take what the
// encoding changes.
bool shows(const std::string& picture, int width, int x, int y, const Rgb& colour);

struct ExpectedDisplay {
  std::string name;
  std::uint32_t id = 0;
  int width = 0;  // points
  int height = 0;
};
// A ServerHello's displays are these, in this order, the first of them the main one.
void expectDisplays(const nlohmann::json& displays, const std::vector<ExpectedDisplay>& expected);

}  // namespace velmora::testing
