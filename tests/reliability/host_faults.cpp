// Faults under a live session, injected into the real host through velmora-fault-injecting-host:
// displays coming and going, and the server stopped and started again and again.
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
  expectNoGrowth(scenario, halfway, after);
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
  expectNoGrowth(scenario, halfway, after);
  EXPECT_EQ(host.terminate(), 0);
}

}  // namespace
}  // namespace velmora::reliability
