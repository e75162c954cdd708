#include "app/status_bar_controller.h"

#include <gtest/gtest.h>

#include "app/localization.h"
#include "control/test_control_client.h"
#include "platform/net/asio_tcp_listener.h"
#include "platform/testing/fake_capture_backend.h"
#include "platform/testing/fake_encoder_backend.h"
#include "platform/testing/in_memory_user_defaults.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/virtual/virtual_input_backend.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::TestClient;

class RecordingUserInterface : public StatusUserInterface {
 public:
  void setMenuSource(std::weak_ptr<StatusMenuSource>) override {}
  void menuChanged() override { ++menuChanges; }
  void statusChanged(const std::string& text) override { events.push_back("status " + text); }
  void setToolTip(const std::optional<std::string>& text) override { toolTip = text; }
  void presentVerificationCode(const VerificationCodePanelContent& content) override {
    events.push_back("code " + content.code);
    panel = content;
  }
  void dismissVerificationCode() override { events.push_back("dismiss"); }
  void showAlert(const std::string& message, const std::string& button) override {
    events.push_back("alert " + message + " [" + button + "]");
  }

  std::size_t count(const std::string& event) const { return static_cast<std::size_t>(std::count(events.begin(), events.end(), event)); }

  std::vector<std::string> events;  // main thread only
  int menuChanges = 0;
  std::optional<std::string> toolTip;
  VerificationCodePanelContent panel;
};

class StatusBarControllerTest : public ::testing::Test {
 protected:
  void makeController() {
    server_ = ControlChannelServer::create(ControlChannelServer::Dependencies{
        mainQueue_, defaults_, nullptr, [] { return std::string("Test Mac"); }, nullptr, makeTcpListener, 0, {}});
    VideoStreamServerOptions videoOptions;
    videoOptions.port = 0;
    videoServer_ = VideoStreamServer::create(videoOptions);
    controller_ = StatusBarController::create(StatusBarController::Dependencies{
        mainQueue_, server_, videoServer_, displays_, std::make_shared<testing::FakeCaptureBackend>(std::vector<std::uint32_t>{1, 2}),
        encoders_.factory(), std::make_shared<VirtualInputBackend>(displays_), presenter_, nullptr, nullptr, StatusBarTiming{}});
    controller_->startServer();
    ASSERT_TRUE(mainQueue_.runUntil([&] { return server_->listeningPort().has_value(); }, 10s));
  }

  void TearDown() override {
    if (controller_) {
      controller_->shutdown(10s);
      server_->shutdownQueueAndWait();
      videoServer_->shutdownQueueAndWait();
    }
  }

  std::unique_ptr<TestClient> connect() { return std::make_unique<TestClient>(mainQueue_, *server_->listeningPort()); }

  bool waitFor(const std::string& event, std::size_t count = 1) {
    return mainQueue_.runUntil([&] { return presenter_->count(event) >= count; }, 10s);
  }

  ManualMainQueue mainQueue_;
  std::shared_ptr<testing::InMemoryUserDefaults> defaults_ = std::make_shared<testing::InMemoryUserDefaults>();
  std::shared_ptr<VirtualDisplaySource> displays_ =
      std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}});
  std::shared_ptr<RecordingUserInterface> presenter_ = std::make_shared<RecordingUserInterface>();
  testing::FakeEncoderSessions encoders_;
  std::shared_ptr<ControlChannelServer> server_;
  std::shared_ptr<VideoStreamServer> videoServer_;
  std::shared_ptr<StatusBarController> controller_;
};

TEST_F(StatusBarControllerTest, ShowsTheCodeShortlyAfterStartWhenNobodyIsTrusted) {
  makeController();
  mainQueue_.drain();
  EXPECT_EQ(presenter_->events, std::vector<std::string>{"status Waiting for a client"});

  mainQueue_.advance(350ms);
  EXPECT_EQ(presenter_->events, (std::vector<std::string>{"status Waiting for a client", "code " + controller_->pairingCode()}));
}

TEST_F(StatusBarControllerTest, KeepsTheCodeHiddenAtStartOnceAClientIsTrusted) {
  defaults_->setStringArray("trustedClientIdentifiers", {"device-A"});
  makeController();
  mainQueue_.advance(1s);
  EXPECT_EQ(presenter_->count("code " + controller_->pairingCode()), 0u);
}

TEST_F(StatusBarControllerTest, FollowsPairingAndTheSessionInTheStatusLine) {
  makeController();
  const std::string code = controller_->pairingCode();
  const std::string wrong = code == "0000" ? "1111" : "0000";

  auto guesser = connect();
  guesser->sendHello(testing::helloWithCode(wrong));
  ASSERT_TRUE(waitFor("code " + code));

  auto client = connect();
  client->sendHello(testing::helloWithCode(code, "device-A"));
  client->readServerHello();
  ASSERT_TRUE(waitFor("status Connected to Vision"));
  EXPECT_EQ(presenter_->count("dismiss"), 1u);
  // The controller asks for a fresh hello once the session is set up.
  client->readServerHello();

  client->close();
  ASSERT_TRUE(waitFor("status Waiting for a client", 2));

  controller_->stopServer();
  mainQueue_.drain();
  EXPECT_EQ(presenter_->events.back(), "status Server stopped");
  EXPECT_EQ(presenter_->count("dismiss"), 2u);
}

// The menu entry with this tag or, without a tag, this title.
StatusMenuItem menuEntry(const StatusBarController& controller, std::optional<int> tag, const std::string& title = {}) {
  for (const auto& item : controller.statusMenuItems()) {
    if ((tag && item.tag == tag) || (!tag && item.title == title)) {
      return item;
    }
  }
  ADD_FAILURE() << "no menu entry " << title;
  return {};
}

TEST_F(StatusBarControllerTest, MenuChoicesReachTheClientAndTheServers) {
  makeController();
  auto client = connect();
  client->sendHello(testing::helloWithCode(controller_->pairingCode(), "device-A"));
  client->readServerHello();
  ASSERT_TRUE(waitFor("status Connected to Vision"));
  client->readServerHello();

  // Choosing the second display resends the hello, now with that display first.
  controller_->menuWillOpen(false);
  menuEntry(*controller_, StatusBarController::kDisplayMenuTag).submenu.at(1).action();
  const auto hello = client->readServerHello();
  ASSERT_TRUE(hello.displays.has_value());
  EXPECT_EQ(hello.displays->front().id, 2u);

  menuEntry(*controller_, std::nullopt, localized("mac.menu.stopServer")).action();
  mainQueue_.drain();
  EXPECT_EQ(presenter_->events.back(), "status Server stopped");
  EXPECT_TRUE(client->waitUntilClosed());
  EXPECT_FALSE(server_->listeningPort().has_value());

  menuEntry(*controller_, std::nullopt, localized("mac.menu.startServer")).action();
  ASSERT_TRUE(mainQueue_.runUntil([&] { return server_->listeningPort().has_value(); }, 10s));
  EXPECT_EQ(presenter_->events.back(), "status Waiting for a client");
  EXPECT_EQ(controller_->pairingCode(), server_->requiredPairingCode());
}

TEST(PairingCodeTest, IsAlwaysFourDigits) {
  EXPECT_EQ(StatusBarController::formatPairingCode(42), "0042");
  EXPECT_EQ(StatusBarController::formatPairingCode(0), "0000");
  EXPECT_EQ(StatusBarController::formatPairingCode(9999), "9999");
  for (int draw = 0; draw < 100; ++draw) {
    const auto code = StatusBarController::generatePairingCode();
    ASSERT_EQ(code.size(), 4u);
    EXPECT_TRUE(std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })) << code;
  }
}

}  // namespace
}  // namespace velmora
