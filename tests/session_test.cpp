// The real velmora-host and velmora-client together over loopback on virtual displays: pairing,
// streaming, display switches, multi-display, keyframes, replacement, restart, a vanished client. Runs in a network
// namespace of its own (see CMakeLists.txt) because the host's ports are fixed.
#include <fstream>
#include <thread>

#include "tests/support/session_harness.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kSessionEnded = "Client disconnected — capture pipeline and multi-display state reset";

// A host on two virtual displays of different shapes.
std::unique_ptr<HostUnderTest> startHost(const std::filesystem::path& home) {
  auto host = std::make_unique<HostUnderTest>(home, virtualHostArguments("1280x720,1024x768"));
  EXPECT_TRUE(host->ready()) << host->process().output();
  return host;
}

TEST_F(SessionTest, PairsStreamsStampedPicturesAndAnswersKeyframeRequests) {
  auto host = startHost(home_);
  auto client = startClient(home_, "script", {waitForPicturesLine(20), R"({"requestKeyframe": {}})", R"({"sleep": 1})"},
                            {"--code", host->code(), "--identifier", "session-test-client", "--duration", "0.5"});
  const auto [status, report] = finishClient(*client);
  ASSERT_EQ(status, 0) << client->output();

  const auto primary = displayStatistics(report, 0);
  EXPECT_GE(primary.value("picturesDecoded", 0), 20);
  EXPECT_GT(primary.value("stampedPictures", 0), 0) << "the virtual display's stamps did not survive";
  EXPECT_EQ(primary.value("width", 0), 1280);
  EXPECT_EQ(primary.value("height", 0), 720);
  EXPECT_GE(primary.value("keyframes", 0), 2);
  EXPECT_EQ(primary.value("decodeErrors", -1), 0);
  EXPECT_TRUE(host->process().waitForLineContaining("Keyframe requested by client"));
  // The end of the session stops the pipeline.
  EXPECT_TRUE(host->process().waitForLineContaining(kSessionEnded));
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(SessionTest, StreamsEveryDisplayInMultiDisplayModeAndSwitchesDisplays) {
  auto host = startHost(home_);
  auto client = startClient(home_, "script",
                            {waitForPicturesLine(5), R"({"switchDisplay": {"displayID": 2}})",
                             R"({"waitForServerHellos": {"count": 3, "timeout": 30}})", R"({"sleep": 1})",
                             R"({"setMultiDisplay": {"enabled": true}})",
                             R"({"waitForServerHellos": {"count": 4, "timeout": 30}})", waitForPicturesLine(10, 30s, 1)},
                            {"--code", host->code(), "--duration", "0.5"});
  const auto [status, report] = finishClient(*client);
  ASSERT_EQ(status, 0) << client->output();

  // Both streams arrive, each with its own shape: 1280x720 and 1024x768 at a height of 720.
  EXPECT_GT(displayStatistics(report, 0).value("picturesDecoded", 0), 0);
  EXPECT_GE(displayStatistics(report, 1).value("picturesDecoded", 0), 10);
  EXPECT_EQ(displayStatistics(report, 0).value("width", 0), 1280);
  EXPECT_EQ(displayStatistics(report, 1).value("width", 0), 960);
  const auto displays = report.value("serverHello", json::object()).value("displays", json::array());
  ASSERT_EQ(displays.size(), 2u) << report.dump();
  EXPECT_EQ(displays[0].value("id", 0), 1);

  for (const char* line : {"startSingleDisplayStreaming: display=2 960x720@60fps 20Mbps",
                           "Pipeline[0] display=1 1280x720@60fps 10Mbps", "Pipeline[1] display=2 960x720@30fps 10Mbps"}) {
    EXPECT_TRUE(host->process().waitForLineContaining(line, 20s, 0)) << line;
  }
  EXPECT_EQ(host->terminate(), 0);
}

// SIGTERM during a session keeps what the host trusts: after a restart no code is needed.
TEST_F(SessionTest, ASecondClientReplacesTheFirstAndTrustedClientsSurviveSigterm) {
  auto host = startHost(home_);
  auto first = startClient(home_, "first", {waitForPicturesLine(5)},
                           {"--code", host->code(), "--identifier", "device-A", "--duration", "60"});
  ASSERT_TRUE(host->process().waitForLineContaining("Video client connected via UDP", 30s));
  // A connection within 2 s of a handshake counts as the same client racing address families.
  std::this_thread::sleep_for(2500ms);

  auto second = startClient(home_, "second", {waitForPicturesLine(5)},
                            {"--code", host->code(), "--identifier", "device-B", "--duration", "60"});
  // The replaced client is told by the closed connection, long before its own 60 s are up.
  EXPECT_NE(finishClient(*first).status, 0);
  ASSERT_TRUE(second->waitForLineContaining("Receiving for", 30s)) << second->output();
  EXPECT_EQ(host->process().terminate(10s), 0);
  EXPECT_NE(finishClient(*second).status, 0) << "the client must notice that the host went away";
  std::ifstream defaults(home_ / "velmora" / "user-defaults.json");
  EXPECT_EQ(json::parse(defaults, nullptr, false).value("trustedClientIdentifiers", json::array()),
            json::array({"device-A", "device-B"}));

  auto restarted = startHost(home_);
  auto trusted =
      startClient(home_, "trusted", {waitForPicturesLine(5)}, {"--identifier", "device-A", "--duration", "0.5"});
  const auto [status, report] = finishClient(*trusted);
  EXPECT_EQ(status, 0) << trusted->output();
  EXPECT_GE(displayStatistics(report, 0).value("picturesDecoded", 0), 5);
  EXPECT_EQ(restarted->terminate(), 0);
}

TEST_F(SessionTest, AClientKilledWithoutAClosingWordEndsItsSessionAndTheNextOneIsServed) {
  auto host = startHost(home_);
  auto vanished = startClient(home_, "vanished", {waitForPicturesLine(5)},
                              {"--code", host->code(), "--identifier", "device-gone", "--duration", "60"});
  ASSERT_TRUE(host->process().waitForLineContaining("Video client connected via UDP", 30s));

  vanished->signal(SIGKILL);
  EXPECT_TRUE(host->process().waitForLineContaining(kSessionEnded));

  auto next = startClient(home_, "next", {waitForPicturesLine(5)}, {"--identifier", "device-gone", "--duration", "0.5"});
  const auto [status, report] = finishClient(*next);
  EXPECT_EQ(status, 0) << next->output();
  EXPECT_GE(displayStatistics(report, 0).value("picturesDecoded", 0), 5);
  EXPECT_EQ(host->terminate(), 0);
}

// The command line works on the file alone; the running host sees the change and acts at once.
TEST_F(SessionTest, ADeviceForgottenOnTheCommandLineIsDisconnectedAndNeedsTheCodeAgain) {
  auto host = startHost(home_);
  auto client = startClient(home_, "forgotten", {waitForPicturesLine(5)},
                            {"--code", host->code(), "--identifier", "device-F", "--duration", "60"});
  EXPECT_TRUE(host->process().waitForLineContaining("Admitted \"velmora-client\" from 127.0.0.1 with the verification code"));
  ASSERT_TRUE(host->process().waitForLineContaining("Video client connected via UDP", 30s));

  const auto trustCommand = [&](const std::vector<std::string>& arguments) {
    ChildProcess command(hostBinary(), arguments, sessionEnvironment(home_));
    const auto status = command.waitForExit();
    return std::make_pair(status.value_or(-1), command.output());
  };
  const auto [listed, list] = trustCommand({"--list-trusted"});
  EXPECT_EQ(listed, 0);
  EXPECT_TRUE(list.starts_with("device-F\tvelmora-client\t20")) << list;
  EXPECT_NE(list.find("\t127.0.0.1"), std::string::npos) << list;

  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(trustCommand({"--forget-trusted", "device-F"}), std::make_pair(0, std::string("Forgot \"velmora-client\" (device-F)\n")));
  EXPECT_TRUE(host->process().waitForLineContaining("is no longer trusted", 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_NE(finishClient(*client).status, 0);
  EXPECT_EQ(trustCommand({"--forget-trusted", "device-F"}).first, 1) << "already forgotten";

  auto returning = startClient(home_, "returning", {waitForPicturesLine(1)}, {"--identifier", "device-F", "--duration", "0.5"});
  EXPECT_NE(finishClient(*returning).status, 0);
  EXPECT_TRUE(host->process().waitForLineContaining("Rejected ClientHello with invalid pairing code"));
  EXPECT_EQ(host->terminate(), 0);
}

}  // namespace
}  // namespace velmora::testing
