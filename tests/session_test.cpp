// The real velmora-host and velmora-client together over loopback on virtual displays: pairing,
// streaming, display switches, multi-display, keyframes, replacement, restart. Runs in a network
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

TEST_F(SessionTest, ASecondClientReplacesTheFirstAndATrustedClientNeedsNoCodeAfterARestart) {
  auto host = startHost(home_);
  auto first = startClient(home_, "first", {waitForPicturesLine(5)},
                           {"--code", host->code(), "--identifier", "device-A", "--duration", "60"});
  ASSERT_TRUE(host->process().waitForLineContaining("Video client connected via UDP", 30s));
  // A connection within 2 s of a handshake counts as the same client racing address families.
  std::this_thread::sleep_for(2500ms);

  auto second = startClient(home_, "second", {waitForPicturesLine(5)},
                            {"--code", host->code(), "--identifier", "device-B", "--duration", "0.5"});
  const auto [secondStatus, secondReport] = finishClient(*second);
  EXPECT_EQ(secondStatus, 0) << second->output();
  EXPECT_GE(displayStatistics(secondReport, 0).value("picturesDecoded", 0), 5);
  // The replaced client is told by the closed connection, long before its own 60 s are up.
  EXPECT_NE(finishClient(*first).status, 0);
  ASSERT_EQ(host->terminate(), 0);
  host.reset();

  auto restarted = startHost(home_);
  auto trusted = startClient(home_, "trusted", {waitForPicturesLine(5)}, {"--identifier", "device-A", "--duration", "0.5"});
  const auto [trustedStatus, trustedReport] = finishClient(*trusted);
  EXPECT_EQ(trustedStatus, 0) << trusted->output();
  EXPECT_GE(displayStatistics(trustedReport, 0).value("picturesDecoded", 0), 5);
  EXPECT_EQ(restarted->terminate(), 0);
}

TEST_F(SessionTest, QuitsCleanlyOnSigtermDuringASessionAndKeepsTrustedClients) {
  auto host = startHost(home_);
  auto client = startClient(home_, "script", {waitForPicturesLine(5)},
                            {"--code", host->code(), "--identifier", "device-kept", "--duration", "60"});
  ASSERT_TRUE(host->process().waitForLineContaining("Video client connected via UDP", 30s));

  EXPECT_EQ(host->process().terminate(10s), 0);
  EXPECT_NE(finishClient(*client).status, 0) << "the client must notice that the host went away";

  std::ifstream defaults(home_ / "velmora" / "user-defaults.json");
  const auto stored = json::parse(defaults, nullptr, false);
  ASSERT_FALSE(stored.is_discarded());
  EXPECT_EQ(stored.value("trustedClientIdentifiers", json::array()), json::array({"device-kept"}));
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

// As behind a NAT that rebinds: the host admits the new flow in place of the old one.
TEST_F(SessionTest, AVerifiedClientChangingItsVideoPortKeepsItsStream) {
  auto host = startHost(home_);
  auto client = startClient(home_, "script", {waitForPicturesLine(30), R"({"changeVideoPort": {}})", waitForPicturesLine(60)},
                            {"--code", host->code(), "--duration", "0.5"});
  const auto [status, report] = finishClient(*client);
  ASSERT_EQ(status, 0) << "the stream did not follow the new port\n" << client->output();

  const auto video = report.value("video", json::object());
  EXPECT_EQ(video.value("videoPortChanges", json::object()).value("count", 0), 1) << video.dump();
  EXPECT_EQ(displayStatistics(report, 0).value("decodeErrors", -1), 0);
  for (const char* flow : {"first", "second"}) {
    EXPECT_TRUE(host->process().waitForLineContaining("VideoServer: new UDP connection from client")) << flow;
  }
  EXPECT_EQ(host->terminate(), 0);
}

TEST_F(SessionTest, AWrongCodeIsRefusedWithAClearExit) {
  auto host = startHost(home_);
  auto client = startClient(home_, "script", {}, {"--code", host->wrongCode(), "--duration", "0"});
  EXPECT_EQ(finishClient(*client).status, 3);
  EXPECT_EQ(host->terminate(), 0);
}

}  // namespace
}  // namespace velmora::testing
