#include "video/screen_capture_service.h"

#include <gtest/gtest.h>

#include <future>

#include "platform/dispatch/manual_main_queue.h"
#include "platform/log/log.h"
#include "platform/testing/fake_capture_backend.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::FakeCaptureBackend;

constexpr auto kEventTimeout = 10s;

const ScreenCaptureTiming kQuickRetries{15, 1ms};

bool finishes(const std::shared_ptr<CancellableTask>& task) {
  auto finished = std::make_shared<std::promise<void>>();
  task->onCompletion([finished] { finished->set_value(); });
  return finished->get_future().wait_for(kEventTimeout) == std::future_status::ready;
}

SampleBuffer screenFrame(bool valid = true) { return SampleBuffer{std::make_shared<PixelBuffer>(16, 16), 1.5, valid, {}}; }

class ScreenCaptureServiceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto* answers : {&backend_->contentAnswers(), &backend_->startAnswers(), &backend_->stopAnswers()}) {
      answers->setHolding(false);
      while (answers->releaseOne()) {
      }
    }
    if (service_) {
      if (auto task = service_->stop()) {
        EXPECT_TRUE(finishes(task));
      }
    }
  }

  ScreenCaptureService& makeService(ScreenCaptureTiming timing = kQuickRetries) {
    service_ = ScreenCaptureService::create({mainQueue_, backend_, {}, timing});
    service_->setTargetDisplayID(1);
    service_->setConfiguration(CaptureConfiguration{1280, 720, 30, kPixelFormat420v});
    service_->setOnCaptureStateChanged([this](CaptureState state) {
      EXPECT_TRUE(mainQueue_.isCurrentThread());
      reported_.push_back(state);
    });
    service_->setOnSampleBuffer([this](const SampleBuffer& sampleBuffer) { forwarded_.push_back(sampleBuffer); });
    return *service_;
  }

  bool eventually(const std::function<bool()>& condition) { return mainQueue_.runUntil(condition, kEventTimeout); }
  bool reaches(CaptureState state) { return eventually([&] { return service_->captureState() == state; }); }
  // Reports from the tasks are queued just after the state changes: wait for them to arrive.
  std::vector<CaptureState> reportsOnceThereAre(std::size_t count) {
    eventually([&] { return reported_.size() >= count; });
    return reported_;
  }
  bool logged(const std::string& message) { return eventually([&] { return logs_.count(message) > 0; }); }
  // A running stream on display 1, the stop of which the test may hold.
  std::shared_ptr<testing::FakeCaptureStream> running() {
    makeService().start();
    EXPECT_TRUE(reaches(CaptureState::running));
    return backend_->stream(1);
  }

  log::MemoryLogSink logs_;
  ManualMainQueue mainQueue_;
  std::shared_ptr<FakeCaptureBackend> backend_ = std::make_shared<FakeCaptureBackend>(std::vector<std::uint32_t>{1, 2});
  std::shared_ptr<ScreenCaptureService> service_;
  std::vector<CaptureState> reported_;
  std::vector<SampleBuffer> forwarded_;
};

TEST_F(ScreenCaptureServiceTest, RetriesThenStreamsTheTargetDisplayAndReportsOnTheMainQueue) {
  backend_->failOutputRegistrations(1);
  backend_->failStarts(1);
  auto& service = makeService();
  service.setTargetDisplayID(2);
  service.start();
  ASSERT_TRUE(reaches(CaptureState::running));

  EXPECT_EQ(logs_.countContaining("Starting capture attempt"), 3U);
  ASSERT_EQ(backend_->streamCount(), 3);
  const auto stream = backend_->stream(3);
  EXPECT_EQ(stream->displayID(), 2U);
  EXPECT_EQ(stream->configuration(), (ScreenCaptureStreamConfiguration{1280, 720, MediaTime{1, 30}, kPixelFormat420v, 3, true, false}));
  EXPECT_TRUE(stream->hasOutput() && stream->isRunning());
  EXPECT_EQ(reportsOnceThereAre(2), (std::vector<CaptureState>{CaptureState::starting, CaptureState::running}));
}

TEST_F(ScreenCaptureServiceTest, GivesUpAfterTheAttemptLimitOnADisplayThatIsNotShared) {
  auto& service = makeService();
  service.setTargetDisplayID(9);
  service.start();
  ASSERT_TRUE(logged("All capture attempts failed"));
  ASSERT_TRUE(reaches(CaptureState::idle));

  EXPECT_EQ(backend_->record().count("content"), 15u);
  EXPECT_EQ(backend_->streamCount(), 0);
  EXPECT_EQ(reportsOnceThereAre(2), (std::vector<CaptureState>{CaptureState::starting, CaptureState::idle}));
}

TEST_F(ScreenCaptureServiceTest, StopWhileAttemptsFailCutsThePauseShortAndMakesNoFurtherAttempt) {
  backend_->failContentQueries(100);
  auto& service = makeService(ScreenCaptureTiming{15, 1h});  // retries pause for an hour
  service.start();
  ASSERT_TRUE(logged("Capture attempt 1 failed, retrying..."));

  const auto stopTask = service.stop();
  ASSERT_NE(stopTask, nullptr) << "there was a start task to wait for";
  ASSERT_TRUE(finishes(stopTask)) << "the hour-long pause must end at the stop";
  mainQueue_.drain();

  EXPECT_EQ(backend_->record().count("content"), 1U);
  EXPECT_EQ(logs_.count("All capture attempts failed"), 0U);
  EXPECT_EQ(reported_, (std::vector<CaptureState>{CaptureState::starting, CaptureState::idle}));
}

TEST_F(ScreenCaptureServiceTest, AStartThatSucceedsAfterStopTearsTheNewStreamDown) {
  backend_->startAnswers().setHolding(true);
  auto& service = makeService();
  service.start();
  ASSERT_TRUE(backend_->startAnswers().waitForHeld(1));
  const auto stopTask = service.stop();
  ASSERT_NE(stopTask, nullptr);
  ASSERT_TRUE(backend_->startAnswers().releaseOne());
  ASSERT_TRUE(finishes(stopTask));
  mainQueue_.drain();

  EXPECT_FALSE(backend_->stream(1)->isRunning());
  EXPECT_EQ(reported_, (std::vector<CaptureState>{CaptureState::starting, CaptureState::idle}));
  EXPECT_NE(service.stop(), nullptr) << "the stop barrier stays, so a later stop chains to it";
}

TEST_F(ScreenCaptureServiceTest, StopBarriersChainSoThatEachStopWaitsForTheOneBefore) {
  running();
  backend_->stopAnswers().setHolding(true);

  const auto firstStop = service_->stop();
  service_->start();
  const auto secondStop = service_->stop();
  ASSERT_TRUE(firstStop && secondStop && firstStop != secondStop);
  ASSERT_TRUE(backend_->stopAnswers().waitForHeld(1));
  EXPECT_FALSE(secondStop->isFinished());

  ASSERT_TRUE(backend_->stopAnswers().releaseOne());
  EXPECT_TRUE(finishes(firstStop));
  EXPECT_TRUE(finishes(secondStop));
  EXPECT_EQ(backend_->record().count("content"), 1U) << "the start between the stops was cancelled at its barrier";
  EXPECT_EQ(service_->captureState(), CaptureState::idle);
}

TEST_F(ScreenCaptureServiceTest, StopDisconnectsFramesAndAStartAfterItWaitsForTheOldStreamToAnswer) {
  const auto stream = running();
  backend_->stopAnswers().setHolding(true);
  const auto stopTask = service_->stop();
  stream->deliver(screenFrame());
  EXPECT_TRUE(forwarded_.empty()) << "a stopped capture forwarded a frame";

  service_->start();
  ASSERT_TRUE(backend_->stopAnswers().waitForHeld(1));
  mainQueue_.runUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_FALSE(backend_->stream(2)) << "the new start went ahead before the old stream's stop answered";
  backend_->stopAnswers().setHolding(false);
  ASSERT_TRUE(backend_->stopAnswers().releaseOne());
  EXPECT_TRUE(eventually([&] { return backend_->stream(2) && service_->captureState() == CaptureState::running; }));
}

TEST_F(ScreenCaptureServiceTest, CountsValidScreenFramesAndLogsTheFirstThreeAndEvery300th) {
  const auto stream = running();
  for (int frame = 0; frame < 600; ++frame) {
    stream->deliver(screenFrame());
  }
  stream->deliver(screenFrame(false));
  stream->deliver(screenFrame(), SampleOutputType::audio);

  EXPECT_EQ(service_->frameCount(), 600);
  EXPECT_EQ(forwarded_.size(), 600U);
  for (const int logged : {1, 2, 3, 300, 600}) {
    EXPECT_EQ(logs_.count(log::Level::debug, "Captured frame #" + std::to_string(logged)), 1U) << logged;
  }
  EXPECT_EQ(logs_.countContaining("Captured frame #"), 5U);
}

TEST_F(ScreenCaptureServiceTest, NeitherStreamsNorQueuedReportsKeepAReleasedServiceAlive) {
  const auto stream = running();
  ASSERT_EQ(reportsOnceThereAre(2).size(), 2U);
  // The start task lets go of the service once it has ended.
  ASSERT_TRUE(eventually([&] { return service_.use_count() == 1; }));
  std::weak_ptr<ScreenCaptureService> weakService = service_;
  service_->setOnSampleBuffer(nullptr);
  service_->streamDidStopWithError("queued a report");  // idle, reported later on the main queue
  service_.reset();

  EXPECT_TRUE(weakService.expired());
  stream->deliver(screenFrame());
  stream->reportStoppedWithError("too late");
  mainQueue_.drain();
  EXPECT_EQ(reported_, (std::vector<CaptureState>{CaptureState::starting, CaptureState::running}));
}

}  // namespace
}  // namespace velmora
