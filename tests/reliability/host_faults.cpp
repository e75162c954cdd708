// Displays coming and going and the server stopped and started under live sessions.
#include <algorithm>
#include <string>

#include "tests/reliability/suite_support.h"

namespace velmora::reliability {
namespace {

using namespace std::chrono_literals;

// Each round's session sees displays added, removed, all gone and back, then the server stopped.
TEST_F(ReliabilityTest, DisplayChangesAndServerRestartsDuringSessionsKeepResourcesFlat) {
  const std::string scenario = "displays, stop/start";
  // velmora-host with a fault plan it takes on standard input (fault_injecting_host.cpp).
  HostUnderTest host(home_, testing::virtualHostArguments("1280x720,1024x768"), {}, VELMORA_FAULT_HOST_BINARY);
  ASSERT_TRUE(host.ready()) << host.process().output();
  // A fault applied, once the host acknowledged it (see fault_injecting_host.cpp).
  const auto apply = [&host](const std::string& command) {
    const auto from = host.process().lineCount();
    return host.process().writeLine(command) &&
           host.process().waitForLineContaining("Fault plan applied: " + command, 10s, from).has_value();
  };
  std::vector<std::string> options = {"--code", host.code(), "--identifier", "faults"};
  ProcessFigures before;
  ProcessFigures halfway;
  const int rounds = longMode ? 50 : 3;
  int sessionsEnded = 0;
  for (int round = 0; round < rounds; ++round) {
    StreamingClient session(home_, options, 100000, 60s);
    ASSERT_TRUE(session.waitForPictures(20, 60s)) << "round " << round << "\n" << session.process().output();
    options = {"--identifier", "faults"};  // trusted from now on
    if (round == 0) {
      before = readProcessFigures(host.process().pid());
    }
    if (round == rounds / 2) {
      halfway = readProcessFigures(host.process().pid());  // x265's caches have settled; a leak grows on
    }
    for (const std::string layout : {"1280x720,1024x768,800x600", "1024x768", "none", "1280x720,1024x768"}) {
      const auto from = host.process().lineCount();
      ASSERT_TRUE(apply("displays " + layout));
      if (layout == "none") {
        EXPECT_TRUE(host.process().waitForLineContaining("No active displays available", 10s, from));
        continue;
      }
      // Announced to the session, and pictures again.
      const auto displays = std::to_string(std::ranges::count(layout, ',') + 1) + " displays";
      EXPECT_TRUE(host.process().waitForLineContaining("Resending ServerHello: ", 10s, from).value_or("").ends_with(
          displays))
          << layout;
      const auto pictures = session.picturesAtLeast();
      EXPECT_TRUE(session.waitForPictures(pictures + 20, 60s)) << "no pictures after the displays became " << layout;
    }
    ASSERT_TRUE(apply("stop-server"));
    // The stop closes the session: the client sees the host close its connection.
    sessionsEnded += session.process().waitForExit(30s) == 1 ? 1 : 0;
    const auto from = host.process().lineCount();
    ASSERT_TRUE(apply("start-server"));
    ASSERT_TRUE(host.process().waitForLineContaining("Control server listening", 10s, from));
  }
  const auto after = settledFigures(host, before);
  const auto report = runClient(home_, "after-the-rounds", {waitForPicturesLine(10, 30s)}, options).report;
  EXPECT_EQ(displayStatistics(report, 0).value("decodeErrors", -1), 0);
  EXPECT_EQ(sessionsEnded, rounds) << "a stop left a client connected";
  figureTable.add(scenario, "rounds (4 display changes and a stop/start each)", std::to_string(rounds));
  expectNoGrowth(scenario, halfway, after);
  EXPECT_EQ(host.terminate(), 0);
}

}  // namespace
}  // namespace velmora::reliability
