#include "platform/log/log.h"
#include "platform/log/printable.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace velmora::log
