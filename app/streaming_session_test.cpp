// The controller's pipelines against fake capture and encoder backends and the manual main queue.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "app/controller_test_fixture.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using ControllerPipelineTest = testing::ControllerFixture;

TEST(BitRatePlanTest, GivesThePrimaryHalfAndSharesTheRestOverTheOthers) {
  struct Case {
    std::int64_t total;
    std::size_t displays;
    BitRatePlan expected;
  };
  const Case cases[] = {
      {20'000'000, 0, {20'000'000, 0}},         {20'000'000, 1, {20'000'000, 0}},
      {50'000'000, 2, {25'000'000, 25'000'000}}, {20'000'000, 3, {10'000'000, 5'000'000}},
      {30'000'000, 3, {15'000'000, 7'500'000}},  {10'000'000, 4, {5'000'000, 1'666'666}},
  };
  for (const auto& [total, displays, expected] : cases) {
    EXPECT_EQ(BitRatePlan::forDisplays(total, displays), expected) << total << " over " << displays;
  }
}

// A live change must leave every encoder where a fresh build at the new total would put it, or a
// reconnect would keep a split that no build gives.
TEST_F(ControllerPipelineTest, ALiveBitRateChangeGivesTheSplitOfAFreshBuild) {
  struct Case {
    VirtualDisplayLayout layout;
    std::size_t option;  // in the bit-rate chooser
  };
  const Case cases[] = {
      {{{1920, 1080, 1}}, 3},
      {{{1920, 1080, 1}, {1280, 800, 1}}, 0},
      {{{1920, 1080, 1}, {1280, 800, 1}, {1024, 768, 1}}, 3},
  };
  for (const Case& testCase : cases) {
    const VirtualDisplayLayout& layout = testCase.layout;
    TearDown();
    makeController(layout);
    const bool multi = layout.size() > 1;
    connect();
    ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
    controller_->multiDisplayRequested(multi);
    ASSERT_TRUE(runUntil([&] { return allRunning() && controller_->streaming().displayPipelines().size() == layout.size(); }));
    const auto generation = controller_->streaming().captureLifecycleGeneration();
    const auto changedBefore = encoders_.bitRateChanges().size();

    controller_->tray().menuWillOpen(false);
    const auto items = controller_->tray().statusMenuItems();
    std::ranges::find(items, StatusMenu::kBitRateMenuTag, &StatusMenuItem::tag)->submenu.at(testCase.option).action();
    const auto changes = encoders_.bitRateChanges();
    // Pipelines are kept in display order, which is stream order here.
    const std::vector<std::int64_t> live(changes.begin() + static_cast<std::ptrdiff_t>(changedBefore), changes.end());
    EXPECT_EQ(controller_->streaming().captureLifecycleGeneration(), generation);
    if (multi) {
      connect();
      EXPECT_EQ(log_.countContaining("Multi-display capture already matches"), 1u);
    }

    const auto builtBefore = encoders_.createdSettings().size();
    controller_->multiDisplayRequested(multi);  // the mode in force: a fresh build
    ASSERT_TRUE(runUntil([&] { return allRunning() && encoders_.createdSettings().size() == builtBefore + layout.size(); }));
    std::vector<std::int64_t> fresh;
    for (auto settings = encoders_.createdSettings(); const auto& built : std::span(settings).subspan(builtBefore)) {
      fresh.push_back(built.averageBitRate);
    }
    EXPECT_EQ(live, fresh) << layout.size() << " displays";
    log_.clear();
  }
}

TEST_F(ControllerPipelineTest, SingleDisplaySizesFollowTheClientAndTheDisplayShape) {
  makeController({{1728, 1117, 2}});
  connect(0, 120);
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));

  // 1080 x 1728 / 1117 = 1670.76...: truncated, not rounded; 120 fps asked for, clamped to 60.
  EXPECT_EQ(encoders_.createdSettings(), (std::vector{EncoderSettings{1670, 1080, 20'000'000, 120, 60}}));
  EXPECT_EQ(controller_->streaming().displayPipelines().at(1).encoderService->displayID(), 0);
  EXPECT_EQ(capture_->stream(1)->configuration().width, 1670);
}

TEST_F(ControllerPipelineTest, ABarrierCompletesOnlyAfterEveryEarlierOne) {
  makeController({{1920, 1080, 1}});
  connect();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
  capture_->stopAnswers().setHolding(true);
  controller_->streaming().rememberPendingCaptureStopTasks(controller_->streaming().stopCapturePipelinesForRebuild());
  ASSERT_TRUE(capture_->stopAnswers().waitForHeld(1));

  // A later barrier over a stop that has already ended still waits for the held one.
  controller_->streaming().rememberPendingCaptureStopTasks({CancellableTask::start([](CancellationToken&) {})});
  connect();
  mainQueue_.runUntil([] { return false; }, 200ms);
  EXPECT_TRUE(controller_->streaming().displayPipelines().empty());

  capture_->stopAnswers().setHolding(false);
  capture_->stopAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
}

TEST_F(ControllerPipelineTest, AStartDeferredBeforeAReconnectGivesWayToTheNewSessions) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}});
  connect();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
  capture_->stopAnswers().setHolding(true);
  controller_->displaySwitchRequested(2);  // deferred, at 1080
  ASSERT_TRUE(capture_->stopAnswers().waitForHeld(1));
  controller_->clientDidDisconnect();
  connect(720, 60);  // deferred on the same barrier, at 720

  capture_->stopAnswers().setHolding(false);
  capture_->stopAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
  mainQueue_.drain();
  ASSERT_EQ(encoders_.createdSettings().size(), 2u);
  EXPECT_EQ(encoders_.createdSettings().back().height, 720);
}

TEST_F(ControllerPipelineTest, ALateReportFromATornDownCaptureIsIgnored) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}});
  capture_->startAnswers().setHolding(true);
  connect();
  ASSERT_TRUE(capture_->startAnswers().waitForHeld(1));
  EXPECT_TRUE(controller_->streaming().isCaptureStarting());

  capture_->stopAnswers().setHolding(true);
  controller_->displaySwitchRequested(2);
  // The old stream starts only now, after its pipeline was dropped.
  capture_->startAnswers().setHolding(false);
  capture_->startAnswers().releaseOne();
  ASSERT_TRUE(capture_->record().waitForEvent("started 1"));
  mainQueue_.runUntil([] { return false; }, 200ms);
  EXPECT_FALSE(controller_->streaming().isCapturing());
  EXPECT_TRUE(controller_->streaming().runningPipelineDisplayIDs().empty());

  capture_->stopAnswers().setHolding(false);
  capture_->stopAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
  EXPECT_TRUE(allRunning());
  EXPECT_EQ(controller_->streaming().runningPipelineDisplayIDs(), std::set<std::uint32_t>{2});
}

TEST_F(ControllerPipelineTest, MultiDisplaySplitsTheBitRateNumbersTheStreamsInListOrderAndIsReused) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}, {1600, 900, 1}});
  connect(720, 24);
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
  controller_->multiDisplayRequested(true);
  ASSERT_TRUE(runUntil([&] { return allRunning() && controller_->streaming().displayPipelines().size() == 3; }));

  // A pipeline is announced after its encoder and the capture-size lines of its own display.
  const auto lines = log_.lines();
  const auto at = [&](std::string_view text) {
    return std::ranges::find_if(lines, [&](const auto& line) { return line.message.find(text) != std::string::npos; });
  };
  EXPECT_LT(at("EncoderSession configured: 1152x720px"), at("Display frame=1280x800pt"));
  EXPECT_LT(at("Display frame=1280x800pt"), at("Pipeline[1] display=2 1152x720@30fps 5Mbps"));
  EXPECT_NE(at("Pipeline[1] display=2 1152x720@30fps 5Mbps"), lines.end());

  for (std::uint32_t displayID = 1; displayID <= 3; ++displayID) {
    // The catalog lists the main display first, then left to right: the virtual numbers' order.
    EXPECT_EQ(controller_->streaming().displayPipelines().at(displayID).encoderService->displayID(), displayID - 1);
  }
  const auto settings = encoders_.createdSettings();
  ASSERT_EQ(settings.size(), 4u);  // the single-display pipeline, then the three
  EXPECT_EQ(settings[1], (EncoderSettings{1280, 720, 10'000'000, 48, 24}));
  EXPECT_EQ(settings[2], (EncoderSettings{1152, 720, 5'000'000, 60, 30}));

  // The ServerHello lists the displays in stream order, also when another one is selected and
  // while a rebuild waits for its barrier.
  controller_->displaySwitchRequested(3);
  capture_->stopAnswers().setHolding(true);
  controller_->multiDisplayRequested(true);
  EXPECT_TRUE(controller_->streaming().displayPipelines().empty());
  EXPECT_EQ(controller_->streaming().displaySnapshotsForServerHello().front().displayID, 1u);
  capture_->stopAnswers().setHolding(false);
  while (capture_->stopAnswers().releaseOne()) {
  }
  ASSERT_TRUE(runUntil([&] { return allRunning() && controller_->streaming().displayPipelines().size() == 3; }));
  const auto listed = controller_->streaming().displaySnapshotsForServerHello();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].displayID, 1u);
  EXPECT_EQ(listed[2].displayID, 3u);

  // A reconnect keeps the unchanged running build; another height is another build.
  const auto generation = controller_->streaming().captureLifecycleGeneration();
  const auto built = encoders_.createdSettings().size();
  connect(720, 24);
  EXPECT_EQ(log_.countContaining("Multi-display capture already matches"), 1u);
  EXPECT_EQ(controller_->streaming().captureLifecycleGeneration(), generation);
  EXPECT_EQ(encoders_.createdSettings().size(), built);
  connect(1080, 24);
  ASSERT_TRUE(runUntil([&] { return allRunning() && encoders_.createdSettings().size() == built + 3; }));
  EXPECT_EQ(encoders_.createdSettings().back().height, 1080);
}

TEST_F(ControllerPipelineTest, AMultiDisplayBuildWithASecondaryNotYetRunningIsRebuiltAndKeyframesEveryStream) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}, {1024, 768, 1}});
  connect();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
  capture_->startAnswers().setHolding(true);
  controller_->multiDisplayRequested(true);
  ASSERT_TRUE(runUntil([&] { return capture_->startAnswers().heldCount() == 3; }));
  capture_->startAnswers().releaseOne();
  capture_->startAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().runningPipelineDisplayIDs().size() == 2; }));

  connect();
  EXPECT_TRUE(controller_->streaming().displayPipelines().empty());
  capture_->startAnswers().setHolding(false);
  capture_->startAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return allRunning() && encoders_.createdSettings().size() == 7u; }));
  EXPECT_EQ(capture_->streamCount(), 7);

  // A video client gets a keyframe from every pipeline.
  controller_->videoClientReady();
  SampleBuffer frame;
  frame.pixelBuffer = std::make_shared<PixelBuffer>(16, 16);
  for (const int stream : {5, 6, 7}) {
    capture_->stream(stream)->deliver(frame);
  }
  const auto submitted = encoders_.submittedFrames();
  ASSERT_EQ(submitted.size(), 3u);
  EXPECT_TRUE(submitted[0].forceKeyframe && submitted[1].forceKeyframe && submitted[2].forceKeyframe);
}

TEST_F(ControllerPipelineTest, ScreenChangesAreDebouncedRebuildTheRunningPipelineAndSuspendWithoutDisplays) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}});
  for (int notification = 0; notification < 5; ++notification) {
    controller_->screenParametersDidChange();
    mainQueue_.advance(100ms);
  }
  EXPECT_EQ(log_.count("Screen change while idle — updating state only"), 0u);
  mainQueue_.advance(199ms);
  EXPECT_EQ(log_.count("Screen change while idle — updating state only"), 0u);
  mainQueue_.advance(1ms);
  EXPECT_EQ(log_.count("Screen change while idle — updating state only"), 1u);

  // With a session, the selected display is unplugged, and the platform ends its capture before
  // the change is reported: the pipeline still counts, and the first display takes over.
  controller_->displaySwitchRequested(2);
  connect();
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
  capture_->stream(capture_->streamCount())->reportStoppedWithError("display 2 is no longer available");
  ASSERT_TRUE(runUntil([&] { return !controller_->streaming().isCapturing() && !controller_->streaming().isCaptureStarting(); }));
  displays_->setLayout({{1920, 1080, 1}});
  controller_->screenParametersDidChange();
  mainQueue_.advance(300ms);
  EXPECT_EQ(log_.count("Rebuilding single-display pipeline after screen change"), 1u);
  EXPECT_FALSE(controller_->selectedDisplayID());
  ASSERT_TRUE(runUntil([&] { return controller_->streaming().isCapturing(); }));
  EXPECT_TRUE(allRunning());
  EXPECT_EQ(controller_->streaming().runningPipelineDisplayIDs(), std::set<std::uint32_t>{1});

  // Without any display the capture is suspended, the session kept; it resumes when one returns.
  displays_->setLayout({});
  controller_->screenParametersDidChange();
  mainQueue_.advance(300ms);
  EXPECT_EQ(log_.count(log::Level::error, "No active displays available (clamshell close?) — stopping pipelines, no "
                                           "ServerHello"),
            1u);
  EXPECT_TRUE(controller_->streaming().displayPipelines().empty());
  EXPECT_TRUE(controller_->streaming().clientSession().captureSuspendedForNoScreens);
  EXPECT_TRUE(controller_->streaming().clientSession().hasActiveClientSession);
  displays_->setLayout({{1920, 1080, 1}, {1280, 800, 1}});
  controller_->screenParametersDidChange();
  mainQueue_.advance(300ms);
  EXPECT_EQ(log_.count("Screens returned while a client session is active — resuming capture"), 1u);
  EXPECT_FALSE(controller_->streaming().clientSession().captureSuspendedForNoScreens);
  ASSERT_TRUE(runUntil([&] { return allRunning(); }));
}

}  // namespace
}  // namespace velmora
