// The controller's pipelines against fake capture and encoder backends and the manual main queue.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/controller_test_fixture.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using ControllerPipelineTest = testing::ControllerFixture;

TEST_F(ControllerPipelineTest, SingleDisplaySizesFollowTheClientAndTheDisplayShape) {
  makeController({{1728, 1117, 2}});
  connect(0, 120);
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));

  // 1080 x 1728 / 1117 = 1670.76...: truncated, not rounded; 120 fps asked for, clamped to 60.
  EXPECT_EQ(encoders_.createdSettings(), (std::vector{EncoderSettings{1670, 1080, 20'000'000, 120, 60}}));
  EXPECT_EQ(controller_->displayPipelines().at(1).encoderService->displayID(), 0);
  EXPECT_EQ(capture_->stream(1)->configuration().width, 1670);
}

TEST_F(ControllerPipelineTest, ABarrierCompletesOnlyAfterEveryEarlierOne) {
  makeController({{1920, 1080, 1}});
  connect();
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  capture_->stopAnswers().setHolding(true);
  controller_->rememberPendingCaptureStopTasks(controller_->stopCapturePipelinesForRebuild());
  ASSERT_TRUE(capture_->stopAnswers().waitForHeld(1));

  // A later barrier over a stop that has already ended still waits for the held one.
  controller_->rememberPendingCaptureStopTasks({CancellableTask::start([](CancellationToken&) {})});
  connect();
  mainQueue_.runUntil([] { return false; }, 200ms);
  EXPECT_TRUE(controller_->displayPipelines().empty());

  capture_->stopAnswers().setHolding(false);
  capture_->stopAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
}

TEST_F(ControllerPipelineTest, AStartDeferredBeforeAReconnectGivesWayToTheNewSessions) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}});
  connect();
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  capture_->stopAnswers().setHolding(true);
  controller_->displaySwitchRequested(2);  // deferred, at 1080
  ASSERT_TRUE(capture_->stopAnswers().waitForHeld(1));
  controller_->clientDidDisconnect();
  connect(720, 60);  // deferred on the same barrier, at 720

  capture_->stopAnswers().setHolding(false);
  capture_->stopAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  mainQueue_.drain();
  ASSERT_EQ(encoders_.createdSettings().size(), 2u);
  EXPECT_EQ(encoders_.createdSettings().back().height, 720);
}

TEST_F(ControllerPipelineTest, ALateReportFromATornDownCaptureIsIgnored) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}});
  capture_->startAnswers().setHolding(true);
  connect();
  ASSERT_TRUE(capture_->startAnswers().waitForHeld(1));
  EXPECT_TRUE(controller_->isCaptureStarting());

  capture_->stopAnswers().setHolding(true);
  controller_->displaySwitchRequested(2);
  // The old stream starts only now, after its pipeline was dropped.
  capture_->startAnswers().setHolding(false);
  capture_->startAnswers().releaseOne();
  ASSERT_TRUE(capture_->record().waitForEvent("started 1"));
  mainQueue_.runUntil([] { return false; }, 200ms);
  EXPECT_FALSE(controller_->isCapturing());
  EXPECT_TRUE(controller_->runningPipelineDisplayIDs().empty());

  capture_->stopAnswers().setHolding(false);
  capture_->stopAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  EXPECT_TRUE(allRunning());
  EXPECT_EQ(controller_->runningPipelineDisplayIDs(), std::set<std::uint32_t>{2});
}

TEST_F(ControllerPipelineTest, MultiDisplaySplitsTheBitRateNumbersTheStreamsInListOrderAndIsReused) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}, {1600, 900, 1}});
  connect(720, 24);
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  controller_->multiDisplayRequested(true);
  ASSERT_TRUE(runUntil([&] { return allRunning() && controller_->displayPipelines().size() == 3; }));

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
    EXPECT_EQ(controller_->displayPipelines().at(displayID).encoderService->displayID(), displayID - 1);
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
  EXPECT_TRUE(controller_->displayPipelines().empty());
  EXPECT_EQ(controller_->displaySnapshotsForServerHello().front().displayID, 1u);
  capture_->stopAnswers().setHolding(false);
  while (capture_->stopAnswers().releaseOne()) {
  }
  ASSERT_TRUE(runUntil([&] { return allRunning() && controller_->displayPipelines().size() == 3; }));
  const auto listed = controller_->displaySnapshotsForServerHello();
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0].displayID, 1u);
  EXPECT_EQ(listed[2].displayID, 3u);

  // A reconnect keeps the unchanged running build; another height is another build.
  const auto generation = controller_->captureLifecycleGeneration();
  const auto built = encoders_.createdSettings().size();
  connect(720, 24);
  EXPECT_EQ(log_.countContaining("Multi-display capture already matches"), 1u);
  EXPECT_EQ(controller_->captureLifecycleGeneration(), generation);
  EXPECT_EQ(encoders_.createdSettings().size(), built);
  connect(1080, 24);
  ASSERT_TRUE(runUntil([&] { return allRunning() && encoders_.createdSettings().size() == built + 3; }));
  EXPECT_EQ(encoders_.createdSettings().back().height, 1080);
}

TEST_F(ControllerPipelineTest, AMultiDisplayBuildWithASecondaryNotYetRunningIsRebuiltAndKeyframesEveryStream) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}, {1024, 768, 1}});
  connect();
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  capture_->startAnswers().setHolding(true);
  controller_->multiDisplayRequested(true);
  ASSERT_TRUE(runUntil([&] { return capture_->startAnswers().heldCount() == 3; }));
  capture_->startAnswers().releaseOne();
  capture_->startAnswers().releaseOne();
  ASSERT_TRUE(runUntil([&] { return controller_->runningPipelineDisplayIDs().size() == 2; }));

  connect();
  EXPECT_TRUE(controller_->displayPipelines().empty());
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
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  capture_->stream(capture_->streamCount())->reportStoppedWithError("display 2 is no longer available");
  ASSERT_TRUE(runUntil([&] { return !controller_->isCapturing() && !controller_->isCaptureStarting(); }));
  displays_->setLayout({{1920, 1080, 1}});
  controller_->screenParametersDidChange();
  mainQueue_.advance(300ms);
  EXPECT_EQ(log_.count("Rebuilding single-display pipeline after screen change"), 1u);
  EXPECT_FALSE(controller_->selectedDisplayID());
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  EXPECT_TRUE(allRunning());
  EXPECT_EQ(controller_->runningPipelineDisplayIDs(), std::set<std::uint32_t>{1});

  // Without any display the capture is suspended, the session kept; it resumes when one returns.
  displays_->setLayout({});
  controller_->screenParametersDidChange();
  mainQueue_.advance(300ms);
  EXPECT_EQ(log_.count(log::Level::error, "No active displays available (clamshell close?) — stopping pipelines, no "
                                           "ServerHello"),
            1u);
  EXPECT_TRUE(controller_->displayPipelines().empty());
  EXPECT_TRUE(controller_->captureSuspendedForNoScreens());
  EXPECT_TRUE(controller_->hasActiveClientSession());
  displays_->setLayout({{1920, 1080, 1}, {1280, 800, 1}});
  controller_->screenParametersDidChange();
  mainQueue_.advance(300ms);
  EXPECT_EQ(log_.count("Screens returned while a client session is active — resuming capture"), 1u);
  EXPECT_FALSE(controller_->captureSuspendedForNoScreens());
  ASSERT_TRUE(runUntil([&] { return allRunning(); }));
}

}  // namespace
}  // namespace velmora
