#include "platform/desktop_loss_signal.h"

#include <gtest/gtest.h>

#include "platform/dispatch/manual_main_queue.h"

namespace velmora {
namespace {

TEST(DesktopLossSignalTest, TheFirstReportReachesEachLiveWatchOnceOnTheMainQueue) {
  const struct {
    const char* name;
    bool reportBeforeWatching;
    bool dropWatchBeforeRunning;
    std::vector<std::string> heard;
  } cases[] = {
      {"lost while watched", false, false, {"first"}},
      {"lost before the watch began", true, false, {"first"}},
      {"watch dropped before the main queue ran", false, true, {}},
  };
  for (const auto& testCase : cases) {
    ManualMainQueue mainQueue;
    DesktopLossSignal signal;
    std::vector<std::string> heard;
    if (testCase.reportBeforeWatching) {
      signal.report("first");
    }
    auto watch = signal.watch(mainQueue, [&](const std::string& reason) { heard.push_back(reason); });
    signal.report("first");
    signal.report("second");
    EXPECT_TRUE(heard.empty()) << testCase.name << ": only on the main queue";
    if (testCase.dropWatchBeforeRunning) {
      watch.reset();
    }
    mainQueue.drain();
    EXPECT_EQ(heard, testCase.heard) << testCase.name;
  }
}

}  // namespace
}  // namespace velmora
