#include "platform/log/log.h"
#include "platform/log/printable.h"

#include <gtest/gtest.h>

namespace velmora::log {
namespace {

TEST(LogTest, MemorySinkSeesEveryLevelWithCategory) {
  MemoryLogSink sink;
  Logger logger("ControlChannel");
  setMinimumLevel(Level::error);
  logger.debug("Received ClientHello from {}", "Vision");
  setMinimumLevel(Level::info);

  auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, Level::debug);
  EXPECT_EQ(lines[0].category, "ControlChannel");
  EXPECT_EQ(lines[0].message, "Received ClientHello from Vision");
}

TEST(LogTest, PrivateValuesAreHiddenUnlessAskedFor) {
  MemoryLogSink sink;
  Logger logger("VideoStream");
  logger.info("Client host {}", privateValue(std::string("192.168.1.20")));
  setShowPrivateValues(true);
  logger.info("Client host {}", privateValue(std::string("192.168.1.20")));
  setShowPrivateValues(false);

  EXPECT_EQ(sink.count("Client host <private>"), 1u);
  EXPECT_EQ(sink.count("Client host 192.168.1.20"), 1u);
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
  EXPECT_EQ(taken[0].category, "App");
  EXPECT_EQ(taken[0].message, "Display selected: 2");
}

TEST(PrintableTest, NeutralisesLineBreaksAndCutsLongTexts) {
  EXPECT_EQ(printable("Vision\nfake log line\x7f"), "Vision?fake log line?");
  EXPECT_EQ(printable("abcdef", 4), "abcd…");
  // "é" is two bytes: a cut in its middle drops it whole.
  EXPECT_EQ(printable("abc\xc3\xa9", 4), "abc…");
  EXPECT_EQ(printable("Café"), "Café");
}

}  // namespace
}  // namespace velmora::log
