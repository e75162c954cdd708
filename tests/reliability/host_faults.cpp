// Faults under a live session, injected into the real host through velmora-fault-injecting-host:
// failing capture starts, an encoder that cannot be created, displays coming and going, and the
// server stopped and started again and again.
#include <signal.h>

#include <string>

#include "tests/reliability/suite_support.h"

namespace velmora::reliability {
namespace {

using namespace std::chrono_literals;

// A host whose faults the test applies one command at a time (see fault_injecting_host.cpp).
class FaultInjectingHost : public HostUnderTest {
 public:
  FaultInjectingHost(const std::filesystem::path& home, const std::string& displays)
      : HostUnderTest(home, testing::virtualHostArguments(displays), {}, faultInjectingHostBinary()) {}

  // Applies a command and waits until the host acknowledged it; false when it did not.
  bool apply(const std::string& command) {
    const auto from = process().lineCount();
    return process().writeLine(command) &&
           process().waitForLineContaining("Fault plan applied: " + command, 10s, from).has_value();
  }
  std::size_t count(const std::string& text) { return process().countLinesContaining(text); }
  ProcessFigures figures() { return readProcessFigures(process().pid()); }
};

TEST_F(ReliabilityTest, FailingCaptureStartsAreRetriedAndAHostThatGaveUpServesTheNextSession) {
  const std::string scenario = "capture failures";
  FaultInjectingHost host(home_, "1280x720");
  ASSERT_TRUE(host.ready()) << host.process().output();

  // Three failures: the fourth attempt, about 6 s later, streams.
  ASSERT_TRUE(host.apply("fail-capture-starts 3"));
  runClient(home_, "retried", {waitForPicturesLine(10, 60s)}, {"--code", host.code(), "--identifier", "faults"});
  EXPECT_EQ(host.count("Capture attempt 3 failed, retrying..."), 1u);
  EXPECT_EQ(host.count("Capture attempt 4 failed"), 0u);
  figureTable.add(scenario, "failed attempts before the stream (3 injected)",
                  static_cast<std::int64_t>(host.count("failed, retrying...")));

  // Every attempt fails: the capture gives up after fifteen; the host stays up and the next
  // session streams.
  ASSERT_TRUE(host.apply("fail-capture-starts 15"));
  const auto linesBefore = host.process().lineCount();
  auto starved = testing::startClient(home_, "starved", {}, {"--identifier", "faults", "--duration", "60"});
  EXPECT_TRUE(host.process().waitForLineContaining("All capture attempts failed", 60s, linesBefore))
      << host.process().output();
  const auto [starvedStatus, starvedReport] = testing::stopClient(*starved);
  EXPECT_EQ(starvedStatus, 0) << starved->output();
  EXPECT_EQ(displayStatistics(starvedReport, 0).value("picturesDecoded", 0), 0);
  figureTable.add(scenario, "attempts before giving up (15 injected)",
                  static_cast<std::int64_t>(host.count("failed, retrying...")) - 3);

  const auto nextReport =
      runClient(home_, "after-giving-up", {waitForPicturesLine(10, 30s)}, {"--identifier", "faults"}).report;
  figureTable.add(scenario, "pictures of the session after it gave up",
                  displayStatistics(nextReport, 0).value("picturesDecoded", 0));
  EXPECT_EQ(host.terminate(), 0);
}

TEST_F(ReliabilityTest, AnEncoderThatCannotBeCreatedDropsFramesUntilTheNextBuild) {
  const std::string scenario = "encoder refused";
  FaultInjectingHost host(home_, "1280x720,1024x768");
  ASSERT_TRUE(host.ready()) << host.process().output();
  ASSERT_TRUE(host.apply("refuse-encoders 1"));

  // Nothing can be shown until the pipeline is built again, here by a display switch.
  const auto report =
      runClient(home_, "refused",
                {R"({"waitForServerHellos": {"count": 1, "timeout": 30}})", R"({"sleep": 2})",
                 R"({"switchDisplay": {"displayID": 2}})", waitForPicturesLine(10, 60s)},
                {"--code", host.code()}).report;
  EXPECT_EQ(host.count("Failed to create compression session: -2"), 1u) << host.process().output();
  const auto statistics = displayStatistics(report, 0);
  EXPECT_EQ(statistics.value("decodeErrors", -1), 0);
  figureTable.add(scenario, "pictures after the display switch", statistics.value("picturesDecoded", 0));
  EXPECT_EQ(host.terminate(), 0);
}

TEST_F(ReliabilityTest, DisplaysAddedRemovedAllGoneAndBackDuringASession) {
  const std::string scenario = "display changes";
  FaultInjectingHost host(home_, "1280x720,1024x768");
  ASSERT_TRUE(host.ready()) << host.process().output();
  StreamingClient session(home_, {"--code", host.code()}, 100000, 60s);
  ASSERT_TRUE(session.waitForPictures(20, 60s)) << session.process().output();
  const auto before = host.figures();
  // x265's caches fill and the allocator settles in the first rounds; a leak keeps growing after.
  auto halfway = before;

  const int rounds = longMode ? 20 : 1;
  for (int round = 0; round < rounds; ++round) {
    if (round == rounds / 2) {
      halfway = host.figures();
    }
    for (const std::string layout : {"1280x720,1024x768,800x600", "1024x768", "none", "1280x720,1024x768"}) {
      const auto from = host.process().lineCount();
      ASSERT_TRUE(host.apply("displays " + layout));
      ASSERT_TRUE(host.process().waitForLineContaining("didChangeScreenParameters", 10s, from));
      if (layout == "none") {
        EXPECT_TRUE(host.process().waitForLineContaining("No active displays available", 10s, from))
            << host.process().output();
        continue;
      }
      // Pictures again after every change that leaves a display.
      const auto pictures = session.picturesAtLeast();
      EXPECT_TRUE(session.waitForPictures(pictures + 20, 60s)) << "no pictures after the displays became " << layout;
    }
  }
  const auto after = settledFigures(host, before);
  const auto [status, report] = session.stop();
  EXPECT_EQ(status, 0) << session.process().output();
  EXPECT_EQ(displayStatistics(report, 0).value("decodeErrors", -1), 0);
  const auto displays = report.value("serverHello", nlohmann::json::object()).value("displays", nlohmann::json::array());
  EXPECT_EQ(displays.size(), 2u) << "the last ServerHello does not list the displays that came back: " << report.dump();
  figureTable.add(scenario, "display set changes", rounds * 4);
  figureTable.add(scenario, "ServerHellos the client received", report.value("serverHellosReceived", 0));
  figureTable.add(scenario, "session pictures", displayStatistics(report, 0).value("picturesDecoded", 0));
  addProcessFigures(scenario, "before", before);
  addProcessFigures(scenario, "halfway", halfway);
  addProcessFigures(scenario, "after", after);
  expectNoGrowth(halfway, after);
  EXPECT_EQ(host.terminate(), 0);
}

TEST_F(ReliabilityTest, ServerStoppedAndStartedInALoopDuringSessions) {
  const std::string scenario = "stop and start";
  FaultInjectingHost host(home_, "1280x720");
  ASSERT_TRUE(host.ready()) << host.process().output();
  std::vector<std::string> options = {"--code", host.code(), "--identifier", "stop-start"};
  ProcessFigures before;
  ProcessFigures halfway;
  const int rounds = longMode ? 100 : 5;
  int sessionsEnded = 0;
  for (int round = 0; round < rounds; ++round) {
    StreamingClient session(home_, options, 100000, 30s);
    ASSERT_TRUE(session.waitForPictures(10, 60s)) << "round " << round << "\n" << session.process().output();
    options = {"--identifier", "stop-start"};  // trusted from now on
    if (round == 0) {
      before = host.figures();
    }
    if (round == rounds / 2) {
      halfway = host.figures();  // x265's caches and the allocator have settled by now
    }
    ASSERT_TRUE(host.apply("stop-server"));
    // The stop closes the session: the client sees the host close its connection.
    sessionsEnded += session.process().waitForExit(30s) == 1 ? 1 : 0;
    const auto from = host.process().lineCount();
    ASSERT_TRUE(host.apply("start-server"));
    ASSERT_TRUE(host.process().waitForLineContaining("Control server listening", 10s, from));
  }
  const auto after = settledFigures(host, before);
  runClient(home_, "after-the-loop", {waitForPicturesLine(10, 30s)}, options);
  EXPECT_EQ(sessionsEnded, rounds) << "a stop left a client connected";
  figureTable.add(scenario, "stop/start rounds, each with a streaming session", rounds);
  addProcessFigures(scenario, "after the first session", before);
  addProcessFigures(scenario, "halfway", halfway);
  addProcessFigures(scenario, "after the last round", after);
  expectNoGrowth(halfway, after);
  EXPECT_EQ(host.terminate(), 0);
}

}  // namespace
}  // namespace velmora::reliability
