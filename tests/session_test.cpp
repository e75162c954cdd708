// The real velmora-host and velmora-client together over loopback on virtual displays: pairing,
// streaming, display switches, multi-display, keyframes, replacement, restart. Runs in a network
// namespace of its own (see CMakeLists.txt) because the host's ports are fixed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/host_process.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::HostProcess;

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmora-session-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
  }

  void TearDown() override { std::filesystem::remove_all(home_); }

  std::vector<std::string> environment() const {
    return {"XDG_CONFIG_HOME=" + home_.string(), "XDG_RUNTIME_DIR=" + home_.string()};
  }

  // A host on two virtual displays of different shapes; its log is read with its output.
  std::unique_ptr<HostProcess> startHost() {
    auto host = std::make_unique<HostProcess>(
        VELMORA_HOST_BINARY,
        std::vector<std::string>{"--headless", "--backend", "virtual", "--virtual-displays", "1280x720,1024x768"},
        environment(), true);
    EXPECT_TRUE(host->started());
    EXPECT_TRUE(host->waitForLineContaining("Control server listening"));
    return host;
  }

  static std::string code(HostProcess& host) { return host.waitForLine("Verification code: ").value_or(""); }

  // Starts a client that runs `script` (one JSON object per line) and then receives `duration` more.
  std::unique_ptr<HostProcess> startClient(const std::vector<std::string>& scriptLines, std::vector<std::string> options,
                                           const std::string& name = "script") {
    const auto scriptPath = home_ / (name + ".jsonl");
    std::ofstream script(scriptPath);
    for (const auto& line : scriptLines) {
      script << line << "\n";
    }
    script.close();
    std::vector<std::string> arguments = {"--host", "127.0.0.1", "--preferred-height", "720", "--script",
                                          scriptPath.string()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    auto client = std::make_unique<HostProcess>(VELMORA_CLIENT_BINARY, arguments, environment());
    EXPECT_TRUE(client->started());
    return client;
  }

  // Runs a client to its end; its exit status and its final JSON report.
  static std::pair<int, nlohmann::json> finish(HostProcess& client) {
    const auto status = client.readUntilExit(60s);
    if (!status) {
      ADD_FAILURE() << "the client did not end";
      return {-1, {}};
    }
    auto report = nlohmann::json::parse(client.output(), nullptr, false);
    if (report.is_discarded()) {
      report = nlohmann::json::object();
    }
    return {*status, report};
  }

  // One display's receive statistics from the report; empty when the report has none.
  static nlohmann::json display(const nlohmann::json& report, int streamNumber) {
    const auto displays = report.value("video", nlohmann::json::object()).value("displays", nlohmann::json::array());
    for (const auto& each : displays) {
      if (each.value("displayID", -1) == streamNumber) {
        return each;
      }
    }
    return nlohmann::json::object();
  }

  std::filesystem::path home_;
};

TEST_F(SessionTest, PairsStreamsStampedPicturesAndAnswersKeyframeRequests) {
  auto host = startHost();
  const auto pairingCode = code(*host);
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 20, "timeout": 30}})",
                              R"({"requestKeyframe": {}})",
                              R"({"sleep": 1})"},
                             {"--code", pairingCode, "--identifier", "session-test-client", "--duration", "0.5"});
  const auto [status, report] = finish(*client);
  ASSERT_EQ(status, 0) << client->output();

  const auto& primary = display(report, 0);
  EXPECT_GE(primary.value("picturesDecoded", 0), 20);
  EXPECT_GT(primary.value("stampedPictures", 0), 0) << "the virtual display's stamps did not survive";
  EXPECT_EQ(primary.value("width", 0), 1280);
  EXPECT_EQ(primary.value("height", 0), 720);
  EXPECT_GE(primary.value("keyframes", 0), 2);
  EXPECT_EQ(primary.value("decodeErrors", -1), 0);
  EXPECT_TRUE(host->waitForLineContaining("Keyframe requested by client"));

  // The end of the session stops the pipeline.
  EXPECT_TRUE(host->waitForLineContaining("Client disconnected — capture pipeline and multi-display state reset"));
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(SessionTest, StreamsEveryDisplayInMultiDisplayModeAndSwitchesDisplays) {
  auto host = startHost();
  const auto pairingCode = code(*host);
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})",
                             R"({"switchDisplay": {"displayID": 2}})",
                             R"({"waitForServerHellos": {"count": 3, "timeout": 30}})",
                             R"({"sleep": 1})",
                             R"({"setMultiDisplay": {"enabled": true}})",
                             R"({"waitForServerHellos": {"count": 4, "timeout": 30}})",
                             R"({"waitForPictures": {"display": 1, "count": 10, "timeout": 30}})"},
                            {"--code", pairingCode, "--duration", "0.5"});
  const auto [status, report] = finish(*client);
  ASSERT_EQ(status, 0) << client->output();

  // Both streams arrive, each with its own shape: 1280x720 and 1024x768 at a height of 720.
  EXPECT_GT(display(report, 0).value("picturesDecoded", 0), 0);
  EXPECT_GE(display(report, 1).value("picturesDecoded", 0), 10);
  EXPECT_EQ(display(report, 0).value("width", 0), 1280);
  EXPECT_EQ(display(report, 1).value("width", 0), 960);
  const auto displays = report.value("serverHello", nlohmann::json::object()).value("displays", nlohmann::json::array());
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  EXPECT_EQ(displays[0].value("id", 0), 1);

  EXPECT_TRUE(host->waitForLineContaining("startSingleDisplayStreaming: display=2 960x720@60fps 20Mbps"));
  EXPECT_TRUE(host->waitForLineContaining("Pipeline[0] display=1 1280x720@60fps 10Mbps"));
  EXPECT_TRUE(host->waitForLineContaining("Pipeline[1] display=2 960x720@30fps 10Mbps"));
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(SessionTest, ASecondClientReplacesTheFirstAndATrustedClientNeedsNoCodeAfterARestart) {
  auto host = startHost();
  const auto pairingCode = code(*host);
  auto first = startClient({R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})"},
                           {"--code", pairingCode, "--identifier", "device-A", "--duration", "60"}, "first");
  ASSERT_TRUE(host->waitForLineContaining("Video client connected via UDP", 30s));
  // A connection within 2 s of a handshake counts as the same client racing address families.
  std::this_thread::sleep_for(2500ms);

  auto second = startClient({R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})"},
                            {"--code", pairingCode, "--identifier", "device-B", "--duration", "0.5"}, "second");
  const auto [secondStatus, secondReport] = finish(*second);
  EXPECT_EQ(secondStatus, 0) << second->output();
  EXPECT_GE(display(secondReport, 0).value("picturesDecoded", 0), 5);
  // The replaced client is told by the closed connection, long before its own 60 s are up.
  const auto [firstStatus, firstReport] = finish(*first);
  EXPECT_NE(firstStatus, 0);

  ASSERT_EQ(host->terminate(), 0);
  host.reset();

  auto restarted = startHost();
  auto trusted = startClient({R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})"},
                             {"--identifier", "device-A", "--duration", "0.5"}, "trusted");
  const auto [trustedStatus, trustedReport] = finish(*trusted);
  EXPECT_EQ(trustedStatus, 0) << trusted->output();
  EXPECT_GE(display(trustedReport, 0).value("picturesDecoded", 0), 5);
  EXPECT_EQ(restarted->terminate(), 0);
}

TEST_F(SessionTest, QuitsCleanlyOnSigtermDuringASessionAndKeepsTrustedClients) {
  auto host = startHost();
  const auto pairingCode = code(*host);
  auto client = startClient({R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})"},
                            {"--code", pairingCode, "--identifier", "device-kept", "--duration", "60"});
  ASSERT_TRUE(host->waitForLineContaining("Video client connected via UDP", 30s));

  EXPECT_EQ(host->terminate(10s), 0);
  const auto [status, report] = finish(*client);
  EXPECT_NE(status, 0) << "the client must notice that the host went away";

  std::ifstream defaults(home_ / "velmora" / "user-defaults.json");
  const auto stored = nlohmann::json::parse(defaults, nullptr, false);
  ASSERT_FALSE(stored.is_discarded());
  EXPECT_EQ(stored.value("trustedClientIdentifiers", nlohmann::json::array()), nlohmann::json::array({"device-kept"}));
}

TEST_F(SessionTest, AClientKilledWithoutAClosingWordEndsItsSessionAndTheNextOneIsServed) {
  auto host = startHost();
  const auto pairingCode = code(*host);
  auto vanished = startClient({R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})"},
                              {"--code", pairingCode, "--identifier", "device-gone", "--duration", "60"}, "vanished");
  ASSERT_TRUE(host->waitForLineContaining("Video client connected via UDP", 30s));

  kill(vanished->pid(), SIGKILL);
  EXPECT_TRUE(host->waitForLineContaining("Client disconnected — capture pipeline and multi-display state reset"));

  auto next = startClient({R"({"waitForPictures": {"display": 0, "count": 5, "timeout": 30}})"},
                          {"--identifier", "device-gone", "--duration", "0.5"}, "next");
  const auto [status, report] = finish(*next);
  EXPECT_EQ(status, 0) << next->output();
  EXPECT_GE(display(report, 0).value("picturesDecoded", 0), 5);
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(SessionTest, AWrongCodeIsRefusedWithAClearExit) {
  auto host = startHost();
  const auto pairingCode = code(*host);
  const std::string wrong = pairingCode == "0000" ? "1111" : "0000";
  auto client = startClient({}, {"--code", wrong, "--duration", "0"});
  const auto [status, report] = finish(*client);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(host->terminate(), 0);
}

}  // namespace
}  // namespace velmora
