#include "platform/x11/screen_change_notifier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/dispatch/manual_main_queue.h"
#include "platform/log/log.h"
#include "platform/testing/xvfb_server.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

constexpr auto kEventTimeout = 10s;

class ScreenChangeNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    ASSERT_EQ(server_.run("xrandr --setmonitor Left 1920/500x1080/300+0+0 screen >/dev/null"), 0);
    auto notifier = ScreenChangeNotifier::start(queue_, [this] { ++calls_; }, server_.display());
    ASSERT_TRUE(notifier.ok()) << notifier.error();
    notifier_ = std::move(notifier.value());
  }

  int mergeResource(const std::string& line) const {
    return server_.run("sh -c \"echo '" + line + "' | xrdb -nocpp -merge\"");
  }

  bool waitForCalls(int count) {
    return queue_.runUntil([&] { return calls_ >= count; }, std::chrono::duration_cast<std::chrono::milliseconds>(kEventTimeout));
  }

  velmora::testing::XvfbServer server_;
  ManualMainQueue queue_;
  int calls_ = 0;  // main thread only
  std::unique_ptr<ScreenChangeNotifier> notifier_;
};

TEST_F(ScreenChangeNotifierTest, MonitorsAddedOrRemovedAndANewXftScaleAreChangesButOtherResourcesAreNot) {
  ASSERT_EQ(mergeResource("Xft.dpi: 192"), 0);
  ASSERT_TRUE(waitForCalls(1)) << "scale changed";
  const int afterScale = calls_;
  // Neither another resource nor the same scale again is a change; the monitor added after them
  // is, and must be the only one counted.
  ASSERT_EQ(mergeResource("XTerm*background: black"), 0);
  ASSERT_EQ(mergeResource("Xft.dpi: 192"), 0);
  ASSERT_EQ(server_.run("xrandr --setmonitor Right 1920/500x1080/300+1920+0 none >/dev/null"), 0);
  ASSERT_TRUE(waitForCalls(afterScale + 1)) << "monitor added";
  queue_.runUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(calls_, afterScale + 1);
  ASSERT_EQ(server_.run("xrandr --delmonitor Right"), 0);
  EXPECT_TRUE(waitForCalls(afterScale + 2)) << "monitor removed";
}

TEST_F(ScreenChangeNotifierTest, ACallPostedBeforeTheNotifierWentIsDropped) {
  ASSERT_EQ(server_.run("xrandr --setmonitor Right 1920/500x1080/300+1920+0 none >/dev/null"), 0);
  testing::eventually([&] { return queue_.readyCount() > 0; }, kEventTimeout, 10ms);
  ASSERT_GT(queue_.readyCount(), 0U);
  notifier_.reset();
  queue_.drain();
  EXPECT_EQ(calls_, 0);
}

TEST_F(ScreenChangeNotifierTest, ALostXServerIsReportedOnceEndsTheWatchAndTheNotifierStillGoesCleanly) {
  log::MemoryLogSink logSink;
  auto doomedServer = std::make_unique<velmora::testing::XvfbServer>(1280, 720);
  ASSERT_TRUE(doomedServer->available());
  std::atomic<int> losses = 0;
  std::string lostReason;
  auto notifier = ScreenChangeNotifier::start(
      queue_, [this] { ++calls_; }, doomedServer->display(), [&](const std::string& reason) {
        lostReason = reason;
        ++losses;
      });
  ASSERT_TRUE(notifier.ok()) << notifier.error();
  const auto display = doomedServer->display();
  doomedServer.reset();
  const auto ended = [&] {
    return logSink.count(log::Level::error, "Screen change notifications end: the X connection is gone");
  };
  testing::eventually([&] { return ended() > 0; }, kEventTimeout, 10ms);
  EXPECT_EQ(ended(), 1U);
  notifier.value().reset();
  EXPECT_EQ(losses, 1);
  EXPECT_EQ(lostReason, "lost the connection to X display " + display);
  queue_.drain();
  EXPECT_EQ(calls_, 0);
}

}  // namespace
}  // namespace velmora
