#pragma once

// A controller on fake capture and encoder backends, virtual displays and input, the manual main
// queue and real (unstarted) servers, for the controller's unit tests.
#include <gtest/gtest.h>

#include <numeric>

#include "app/status_bar_controller.h"
#include "platform/dispatch/manual_main_queue.h"
#include "platform/log/log.h"
#include "platform/net/asio_tcp_listener.h"
#include "platform/testing/fake_capture_backend.h"
#include "platform/testing/fake_encoder_backend.h"
#include "platform/testing/in_memory_user_defaults.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/virtual/virtual_input_backend.h"

namespace velmora::testing {

using namespace std::chrono_literals;

// Remembers what the controller showed. Main thread only.
class RecordingUserInterface : public StatusUserInterface {
 public:
  void setMenuSource(std::weak_ptr<StatusMenuSource>) override {}
  void menuChanged() override {}
  void statusChanged(const std::string& text) override { statuses.push_back(text); }
  void setToolTip(const std::optional<std::string>& text) override { toolTip = text; }
  void presentVerificationCode(const VerificationCodePanelContent& content) override { panels.push_back(content); }
  void dismissVerificationCode() override { ++dismissals; }
  void showAlert(const std::string& message, const std::string& button) override {
    alerts.push_back(message + " [" + button + "]");
  }
  void setInUse(bool shown) override { inUse = shown; }

  std::vector<std::string> statuses;
  std::optional<std::string> toolTip;
  std::vector<VerificationCodePanelContent> panels;
  int dismissals = 0;
  std::vector<std::string> alerts;
  bool inUse = false;
};

// Remembers the notices; the test chooses their actions. Main thread only.
class RecordingNotifier : public DesktopNotifier {
 public:
  std::uint64_t show(const DesktopNotice& notice, std::function<void(const std::string&)> onAction) override {
    shown.push_back({notice, std::move(onAction)});
    return shown.size();
  }
  void withdraw(std::uint64_t handle) override { withdrawn.push_back(handle); }

  std::vector<std::pair<DesktopNotice, std::function<void(const std::string&)>>> shown;
  std::vector<std::uint64_t> withdrawn;
};

class ControllerFixture : public ::testing::Test {
 protected:
  void makeController(const VirtualDisplayLayout& layout) {
    displays_ = std::make_shared<VirtualDisplaySource>(layout);
    std::vector<std::uint32_t> numbers(layout.size());
    std::iota(numbers.begin(), numbers.end(), 1u);
    capture_ = std::make_shared<testing::FakeCaptureBackend>(numbers);
    capture_->setAccessGranted(screenRecordingGranted_);
    input_ = makeInput_(displays_);
    input_->setTrusted(accessibilityGranted_);
    VideoStreamServerOptions videoOptions;
    videoOptions.port = 0;
    StatusBarTiming timing;
    timing.capture.pauseAfterFailedAttempt = 10ms;
    controller_ = StatusBarController::create(StatusBarController::Dependencies{
        mainQueue_,
        ControlChannelServer::Dependencies{mainQueue_, defaults_, nullptr, [] { return std::string("Test"); }, nullptr,
                                           makeTcpListener, 0, {}},
        videoOptions, displays_, capture_, encoders_.factory(), input_, userInterface_,
        permissionHelp_, [] {}, timing, notifier_});
  }

  void TearDown() override {
    if (controller_) {
      capture_->startAnswers().setHolding(false);
      capture_->stopAnswers().setHolding(false);
      while (capture_->startAnswers().releaseOne() || capture_->stopAnswers().releaseOne()) {
      }
      controller_->shutdown(10s);
      controller_->controlServer().shutdownQueueAndWait();
      controller_->videoServer().shutdownQueueAndWait();
    }
  }

  void connect(std::int64_t height = 1080, std::int64_t frameRate = 60) {
    controller_->clientDidConnect(ClientHello{2, 0, height, frameRate, "Vision", std::nullopt, ""}, "192.0.2.7");
  }

  // Starts the servers on free ports, as the menu's Start does.
  void startServers() {
    controller_->startServer();
    ASSERT_TRUE(runUntil([&] { return controller_->controlServer().listeningPort().has_value(); }));
  }

  bool runUntil(const std::function<bool()>& condition) { return mainQueue_.runUntil(condition, 10s); }

  // True once every pipeline's capture has reported running.
  bool allRunning() const {
    const auto& pipelines = controller_->streaming().displayPipelines();
    return !pipelines.empty() && controller_->streaming().runningPipelineDisplayIDs().size() == pipelines.size();
  }

  ManualMainQueue mainQueue_;
  log::MemoryLogSink log_;
  std::shared_ptr<testing::InMemoryUserDefaults> defaults_ = std::make_shared<testing::InMemoryUserDefaults>();
  testing::FakeEncoderSessions encoders_;
  std::shared_ptr<VirtualDisplaySource> displays_;
  std::shared_ptr<testing::FakeCaptureBackend> capture_;
  std::shared_ptr<VirtualInputBackend> input_;
  std::function<std::shared_ptr<VirtualInputBackend>(std::shared_ptr<VirtualDisplaySource>)> makeInput_ =
      [](std::shared_ptr<VirtualDisplaySource> displays) { return std::make_shared<VirtualInputBackend>(displays); };
  std::shared_ptr<RecordingUserInterface> userInterface_ = std::make_shared<RecordingUserInterface>();
  std::shared_ptr<PermissionHelp> permissionHelp_;
  std::shared_ptr<RecordingNotifier> notifier_;
  bool accessibilityGranted_ = true;
  bool screenRecordingGranted_ = true;
  std::shared_ptr<StatusBarController> controller_;
};

}  // namespace velmora::testing
