// The controller's reports to the user, its menu model and the permission warnings, without a
// screen; the pairing cases go through a real control connection.
#include "app/status_bar_controller.h"

#include <gtest/gtest.h>

#include <ranges>

#include "app/controller_test_fixture.h"
#include "app/pairing_code.h"
#include "control/test_control_client.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::TestClient;

class StatusBarControllerTest : public testing::ControllerFixture {
 protected:
  std::unique_ptr<TestClient> connectClient() {
    return std::make_unique<TestClient>(mainQueue_, *controller_->controlServer().listeningPort());
  }

  StatusMenuItem item(int tag) const {
    const auto items = controller_->tray().statusMenuItems();
    const auto found = std::ranges::find(items, tag, &StatusMenuItem::tag);
    return found == items.end() ? StatusMenuItem{} : *found;
  }

  // The titles of the checked entries of a submenu.
  std::vector<std::string> checkedTitles(int tag) const {
    std::vector<std::string> titles;
    for (const auto& entry : item(tag).submenu) {
      if (entry.checked) {
        titles.push_back(entry.title);
      }
    }
    return titles;
  }

  void choose(int submenuTag, std::size_t index) {
    controller_->tray().menuWillOpen(false);
    item(submenuTag).submenu.at(index).action();
  }
};

// A help opener whose answer the test decides.
class FakePermissionHelp : public PermissionHelp {
 public:
  void open(PermissionKind permission) override { opened.push_back(permission); }
  bool lastOpenCameToFront() override { return cameToFront; }

  std::vector<PermissionKind> opened;
  bool cameToFront = true;
};

TEST_F(StatusBarControllerTest, ShowsTheCodeShortlyAfterStartOnlyWhileNobodyIsTrusted) {
  for (const bool trusted : {false, true}) {
    TearDown();
    userInterface_ = std::make_shared<testing::RecordingUserInterface>();
    defaults_->setStringArray("trustedClientIdentifiers", trusted ? std::vector<std::string>{"device-A"}
                                                                  : std::vector<std::string>{});
    makeController({{1920, 1080, 1}});
    startServers();
    mainQueue_.advance(349ms);
    EXPECT_TRUE(userInterface_->panels.empty());
    mainQueue_.advance(1ms);
    EXPECT_EQ(userInterface_->panels.size(), trusted ? 0u : 1u) << trusted;
  }
}

TEST_F(StatusBarControllerTest, PairingAndTheSessionReachThePanelTheStatusLineAndTheServers) {
  makeController({{1920, 1080, 1}, {1280, 800, 2}});
  startServers();
  const std::string code = controller_->pairingCode();

  auto guesser = connectClient();
  guesser->sendHello(testing::helloWithCode(code == "0000" ? "1111" : "0000"));
  ASSERT_TRUE(runUntil([&] { return !userInterface_->panels.empty(); }));

  auto client = connectClient();
  client->sendHello(testing::helloWithCode(code, "device-A"));
  client->readServerHello();
  ASSERT_TRUE(runUntil([&] { return userInterface_->statuses.back() == "Connected to Vision"; }));
  EXPECT_EQ(userInterface_->dismissals, 1);
  client->readServerHello();  // asked for once the session is set up

  // The chooser checks the display in use; choosing the second resends the hello, that display first.
  controller_->tray().menuWillOpen(false);
  const auto displays = item(StatusMenu::kDisplayMenuTag).submenu;
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(checkedTitles(StatusMenu::kDisplayMenuTag), std::vector<std::string>{displays[0].title});
  choose(StatusMenu::kDisplayMenuTag, 1);
  const auto hello = client->readServerHello();
  ASSERT_TRUE(hello.displays.has_value());
  EXPECT_EQ(hello.displays->front().id, 2u);
  EXPECT_TRUE(runUntil([&] { return controller_->inputQueue()->targetDisplayID() == 2u; }));
  controller_->tray().menuWillOpen(false);
  EXPECT_EQ(checkedTitles(StatusMenu::kDisplayMenuTag), std::vector<std::string>{displays[1].title});

  client->close();
  ASSERT_TRUE(runUntil([&] { return userInterface_->statuses.back() == "Waiting for a client"; }));
  EXPECT_FALSE(controller_->streaming().clientSession().hasActiveClientSession);

  controller_->stopServer();
  mainQueue_.drain();
  EXPECT_EQ(userInterface_->statuses.back(), "Server stopped");
  EXPECT_TRUE(runUntil([&] { return !controller_->controlServer().listeningPort().has_value(); }));
}

TEST_F(StatusBarControllerTest, PermissionWarningsStackAtTheTopOpenTheHelpAndGoWhenGranted) {
  auto help = std::make_shared<FakePermissionHelp>();
  permissionHelp_ = help;
  accessibilityGranted_ = false;
  screenRecordingGranted_ = false;
  makeController({{1920, 1080, 1}});
  const auto items = controller_->tray().statusMenuItems();
  ASSERT_GE(items.size(), 4u);
  EXPECT_EQ(items[0].tag, StatusMenu::kAccessibilityWarningTag);
  EXPECT_EQ(items[2].tag, StatusMenu::kScreenRecordingWarningTag);
  EXPECT_TRUE(userInterface_->toolTip.has_value());

  // A warning opens the help, and explains in an alert when no window came forward.
  item(StatusMenu::kAccessibilityWarningTag).action();
  mainQueue_.advance(500ms);
  EXPECT_EQ(help->opened, std::vector<PermissionKind>{PermissionKind::accessibility});
  EXPECT_TRUE(userInterface_->alerts.empty());
  help->cameToFront = false;
  item(StatusMenu::kScreenRecordingWarningTag).action();
  mainQueue_.advance(499ms);
  EXPECT_TRUE(userInterface_->alerts.empty());
  mainQueue_.advance(1ms);
  EXPECT_EQ(userInterface_->alerts.size(), 1u);

  input_->setTrusted(true);
  mainQueue_.advance(300s);  // the periodic check, answered from the input queue
  ASSERT_TRUE(runUntil([&] { return controller_->tray().accessibilityCurrentlyGranted(); }));
  EXPECT_EQ(controller_->tray().statusMenuItems().front().tag, StatusMenu::kScreenRecordingWarningTag);
  EXPECT_FALSE(userInterface_->toolTip.has_value());
  capture_->setAccessGranted(true);
  controller_->appDidBecomeActive();
  ASSERT_TRUE(runUntil([&] { return controller_->tray().screenRecordingCurrentlyGranted(); }));
  EXPECT_EQ(controller_->tray().statusMenuItems().size(), items.size() - 4);
}

TEST_F(StatusBarControllerTest, TrustEntriesListForgetAndAlwaysAskForTheCode) {
  defaults_->update([](nlohmann::json& object) {
    object["trustedClientIdentifiers"] = {"device-A", "device-B"};
    object["trustedClientDetails"] = {{"device-A",
                                       {{"deviceName", "Vision"},
                                        {"pairedAt", "2026-01-02T03:04:05Z"},
                                        {"lastAdmittedAt", formatUtcTime(WallClock::now() - std::chrono::hours(73))},
                                        {"lastAddress", "192.0.2.7"}}}};
  });
  makeController({{1920, 1080, 1}});
  startServers();
  auto client = connectClient();
  client->sendHello(testing::helloWithCode("", "device-A"));
  client->readServerHello();
  ASSERT_TRUE(runUntil([&] { return userInterface_->statuses.back() == "Connected to Vision"; }));

  const auto titles = [&] {
    controller_->tray().menuWillOpen(false);
    std::vector<std::string> shown;
    for (const auto& entry : item(StatusMenu::kTrustedDevicesMenuTag).submenu) {
      shown.push_back(entry.kind == StatusMenuItem::Kind::separator ? "---" : entry.title);
    }
    return shown;
  };
  EXPECT_EQ(titles(), (std::vector<std::string>{"Vision — last connected moments ago",
                                                "unnamed device device-B — last connected —", "---",
                                                "Forget All Devices"}));
  // Forgetting the connected device ends its session at once.
  item(StatusMenu::kTrustedDevicesMenuTag).submenu.at(0).submenu.at(0).action();
  EXPECT_TRUE(client->waitUntilClosed());
  ASSERT_TRUE(runUntil([&] { return userInterface_->statuses.back() == "Waiting for a client"; }));
  EXPECT_EQ(titles(), (std::vector<std::string>{"unnamed device device-B — last connected —", "---", "Forget All Devices"}));
  item(StatusMenu::kTrustedDevicesMenuTag).submenu.back().action();
  EXPECT_EQ(titles(), std::vector<std::string>{"No trusted devices"});

  EXPECT_FALSE(item(StatusMenu::kAlwaysAskForCodeTag).checked);
  item(StatusMenu::kAlwaysAskForCodeTag).action();
  EXPECT_TRUE(item(StatusMenu::kAlwaysAskForCodeTag).checked);
  EXPECT_EQ(defaults_->value("alwaysAskForCode"), true) << "kept for the next run";
}

TEST_F(StatusBarControllerTest, EachAdmissionIsAnnouncedAndItsNoticeEndsOrForgetsOnlyItsOwnSession) {
  notifier_ = std::make_shared<testing::RecordingNotifier>();
  defaults_->setStringArray("trustedClientIdentifiers", {"device-A"});
  makeController({{1920, 1080, 1}});
  startServers();
  const auto admit = [&] {
    auto client = connectClient();
    client->sendHello(testing::helloWithCode("", "device-A"));
    client->readServerHello();
    EXPECT_TRUE(runUntil([&] { return userInterface_->inUse; }));
    return client;
  };
  auto first = admit();
  ASSERT_EQ(notifier_->shown.size(), 1u);
  const auto& notice = notifier_->shown[0].first;
  EXPECT_EQ(notice.summary, "Vision is viewing and controlling this computer");
  EXPECT_NE(notice.body.find("127.0.0.1"), std::string::npos);
  ASSERT_EQ(notice.actions.size(), 2u);
  EXPECT_EQ(notice.actions[0].label, "Disconnect");
  EXPECT_EQ(notice.actions[1].label, "Forget This Device");

  notifier_->shown[0].second("disconnect");
  EXPECT_TRUE(first->waitUntilClosed());
  ASSERT_TRUE(runUntil([&] { return !userInterface_->inUse; }));
  EXPECT_EQ(notifier_->withdrawn, std::vector<std::uint64_t>{1});
  EXPECT_TRUE(controller_->controlServer().trustedDevices().contains("device-A"));

  auto second = admit();
  notifier_->shown[0].second("forget");  // the first session's notice: too late
  mainQueue_.drain();
  EXPECT_TRUE(controller_->controlServer().trustedDevices().contains("device-A"));
  notifier_->shown[1].second("forget");
  EXPECT_TRUE(second->waitUntilClosed());
  ASSERT_TRUE(runUntil([&] { return !userInterface_->inUse; }));
  EXPECT_FALSE(controller_->controlServer().trustedDevices().contains("device-A"));

  // Headless: the log says it, beside the status line.
  TearDown();
  notifier_.reset();
  log::MemoryLogSink logs;
  makeController({{1920, 1080, 1}});
  connect();
  EXPECT_EQ(logs.countContaining("Vision is viewing and controlling this computer (from 192.0.2.7)"), 1u);
  EXPECT_TRUE(runUntil([&] { return userInterface_->statuses.back() == "Connected to Vision"; }));
}

TEST(PairingCodeTest, IsAlwaysFourDigits) {
  EXPECT_EQ(formatPairingCode(42), "0042");
  const auto code = generatePairingCode();
  EXPECT_TRUE(code.size() == 4 && code.find_first_not_of("0123456789") == std::string::npos) << code;
}

}  // namespace
}  // namespace velmora
