#include "platform/log/log.h"
#include "platform/log/log_throttle.h"
#include "platform/log/printable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <utility>
#include <vector>

namespace velmora::log {
namespace {

TEST(LogTest, MemorySinkSeesEveryLevelAndPrivateValuesAreHiddenUnlessAskedFor) {
  MemoryLogSink sink;
  Logger logger("ControlChannel");
  logger.debug("Received ClientHello from {}", "Vision");  // below the minimum level
  logger.info("Client host {}", privateValue(std::string("192.168.1.20")));
  setShowPrivateValues(true);
  logger.info("Client host {}", privateValue(std::string("192.168.1.20")));
  setShowPrivateValues(false);

  const auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, Level::debug);
  EXPECT_EQ(lines[0].category, "ControlChannel");
  EXPECT_EQ(lines[0].message, "Received ClientHello from Vision");
  EXPECT_EQ(lines[1].message, "Client host <private>");
  EXPECT_EQ(lines[2].message, "Client host 192.168.1.20");
}

TEST(LogTest, LineSinkTakesLinesAtOrAboveTheMinimumLevelUntilRemoved) {
  std::vector<LogLine> taken;
  setLineSink([&](const LogLine& line) {
    taken.push_back(line);
    return true;
  });
  Logger logger("App");
  logger.debug("below the minimum level");
  logger.notice("Display selected: {}", 2);
  setLineSink(nullptr);
  logger.error("after removal");

  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(levelName(taken[0].level), "default") << "notice is written as the default level";
  EXPECT_EQ(taken[0].message, "Display selected: 2");
}

TEST(PrintableTest, NeutralisesLineBreaksAndCutsLongTextsAtACharacterBoundary) {
  EXPECT_EQ(printable("Vision\nfake log line\x7f"), "Vision?fake log line?");
  EXPECT_EQ(printable("abc\xc3\xa9", 4), "abc…");
}

TEST(LogThrottleTest, OccurrencesLoggedAreTheFirstFewThenEvery300th) {
  struct Case {
    std::int64_t count;
    std::int64_t loggedAtStart;
    bool isLogged;
  };
  const std::vector<Case> cases = {
      {1, 3, true},   {3, 3, true},    {4, 3, false},  {299, 3, false}, {300, 3, true},
      {301, 3, false}, {600, 3, true}, {5, 5, true},   {6, 5, false},   {900, 5, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isLoggedOccurrence(c.count, c.loggedAtStart), c.isLogged) << c.count << " of " << c.loggedAtStart;
  }
  EXPECT_TRUE(isLoggedOccurrence(3));
  EXPECT_FALSE(isLoggedOccurrence(4)) << "three at start unless told otherwise";
}

TEST(LogThrottleTest, WindowAdmitsAFewThenOpensANewWindowWithTheFirstAdmissionAfterIt) {
  using std::chrono::milliseconds;
  struct Case {
    const char* name;
    std::size_t perWindow;
    milliseconds window;
    std::vector<std::pair<int, bool>> admissions;  // milliseconds from the start, admitted
  };
  const std::vector<Case> cases = {
      {"one per window", 1, milliseconds(5000),
       {{0, true}, {4999, false}, {5000, true}, {5001, false}, {12000, true}, {16999, false}}},
      {"a few per window", 2, milliseconds(1000),
       {{0, true}, {10, true}, {20, false}, {999, false}, {1000, true}, {1500, true}, {1999, false}, {2000, true}}},
  };
  for (const Case& c : cases) {
    WindowThrottle throttle(c.perWindow, c.window);
    const WindowThrottle::Clock::time_point start{std::chrono::hours(1)};
    for (const auto& [at, isAdmitted] : c.admissions) {
      EXPECT_EQ(throttle.admit(start + milliseconds(at)), isAdmitted) << c.name << " at " << at << " ms";
    }
  }

  WindowThrottle throttle(1, milliseconds(1000));
  throttle.countSuppressed();
  throttle.countSuppressed();
  EXPECT_EQ(throttle.takeSuppressed(), 2u);
  EXPECT_EQ(throttle.takeSuppressed(), 0u) << "a count is reported once";
}

}  // namespace
}  // namespace velmora::log
