// The status menu model, its choosers and the permission warnings, without a screen.
#include <gtest/gtest.h>

#include <thread>

#include "app/controller_test_fixture.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;

class StatusMenuTest : public testing::ControllerFixture {
 protected:
  std::vector<std::optional<int>> tags() const {
    std::vector<std::optional<int>> found;
    for (const auto& item : controller_->statusMenuItems()) {
      found.push_back(item.kind == StatusMenuItem::Kind::separator ? std::optional(-1) : item.tag);
    }
    return found;
  }

  StatusMenuItem item(int tag) const {
    for (const auto& each : controller_->statusMenuItems()) {
      if (each.tag == tag) {
        return each;
      }
    }
    ADD_FAILURE() << "no menu item with tag " << tag;
    return {};
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
    controller_->menuWillOpen(false);
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

constexpr std::optional<int> kSeparator = -1;
constexpr std::optional<int> kNoTag = std::nullopt;

TEST_F(StatusMenuTest, IsLaidOutWithItsTagsAndShowsTheFingerprintOnlyWithAlt) {
  makeController({{1920, 1080, 1}});
  EXPECT_EQ(tags(), (std::vector<std::optional<int>>{kNoTag, 100, 160, 161, kSeparator, kNoTag, kNoTag, kNoTag,
                                                     kSeparator, 200, 300, kSeparator, kNoTag}));
  EXPECT_EQ(item(100).title, "Status: Waiting for a client");
  EXPECT_TRUE(item(161).hidden);

  controller_->menuWillOpen(true);
  EXPECT_FALSE(item(161).hidden);
  controller_->menuWillOpen(false);
  EXPECT_TRUE(item(161).hidden);

  // Quit is the last entry, with its key.
  const auto quit = controller_->statusMenuItems().back();
  EXPECT_EQ(quit.keyEquivalent, "q");
  quit.action();
  EXPECT_EQ(quits_, 1);
}

TEST_F(StatusMenuTest, TheStatusLineFollowsUpdatesFromAnyThread) {
  makeController({{1920, 1080, 1}});
  std::thread other([&] { controller_->updateStatusMenu("Connected to Vision"); });
  other.join();
  mainQueue_.drain();
  EXPECT_EQ(item(100).title, "Status: Connected to Vision");
  EXPECT_EQ(userInterface_->statuses.back(), "Connected to Vision");
}

TEST_F(StatusMenuTest, TheDisplayChooserChecksTheDisplayInUseAndBuildsTheChosenOne) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}});
  controller_->menuWillOpen(false);
  ASSERT_EQ(item(200).submenu.size(), 2u);
  EXPECT_NE(item(200).submenu[0].title, item(200).submenu[1].title);
  EXPECT_EQ(checkedTitles(200), std::vector<std::string>{item(200).submenu[0].title});

  // The implicit first display is already in use: nothing happens.
  choose(200, 0);
  EXPECT_EQ(log_.countContaining("Display selected"), 0u);
  EXPECT_TRUE(controller_->displayPipelines().empty());

  // Without a client, the chosen display's pipeline is built at once.
  choose(200, 1);
  EXPECT_EQ(log_.count("Display selected: 2"), 1u);
  EXPECT_EQ(controller_->selectedDisplayID(), 2u);
  EXPECT_EQ(controlServer_->selectedDisplayID(), 2u);
  EXPECT_EQ(controller_->eventInjector().targetDisplayID(), 2u);
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  EXPECT_EQ(pipelineDisplays(), std::vector<std::uint32_t>{2});
  controller_->menuWillOpen(false);
  EXPECT_EQ(checkedTitles(200), std::vector<std::string>{item(200).submenu[1].title});
}

TEST_F(StatusMenuTest, ABitRateChoiceSplitsEquallyOverRunningPipelinesAndKeepsTheBuild) {
  makeController({{1920, 1080, 1}, {1280, 800, 1}, {1024, 768, 1}});
  connect();
  ASSERT_TRUE(runUntil([&] { return controller_->isCapturing(); }));
  controller_->multiDisplayRequested(true);
  ASSERT_TRUE(runUntil([&] { return allRunning() && controller_->displayPipelines().size() == 3; }));
  const auto generation = controller_->captureLifecycleGeneration();

  controller_->menuWillOpen(false);
  EXPECT_EQ(checkedTitles(300), std::vector<std::string>{"20 Mbps"});
  choose(300, 3);
  EXPECT_EQ(encoders_.bitRateChanges(), (std::vector<std::int64_t>{16666666, 16666666, 16666666}));
  EXPECT_EQ(log_.count("Bitrate changed to 50 Mbps (16 Mbps per display)"), 1u);
  EXPECT_EQ(controller_->captureLifecycleGeneration(), generation);

  // The same rate again does nothing; the reuse test sees the new total.
  choose(300, 3);
  EXPECT_EQ(encoders_.bitRateChanges().size(), 3u);
  connect();
  EXPECT_EQ(log_.countContaining("Multi-display capture already matches"), 1u);
}

TEST_F(StatusMenuTest, PermissionWarningsStackAtTheTopAndGoWhenGranted) {
  accessibilityGranted_ = false;
  screenRecordingGranted_ = false;
  makeController({{1920, 1080, 1}});
  EXPECT_EQ(tags().size(), 17u);
  auto top = tags();
  top.resize(5);
  EXPECT_EQ(top, (std::vector<std::optional<int>>{102, kSeparator, 103, kSeparator, kNoTag}));
  EXPECT_TRUE(userInterface_->toolTip.has_value());
  EXPECT_EQ(log_.count(log::Level::error, "Accessibility permission missing — inserted menu warning"), 1u);

  // Checks that find nothing new change nothing and log nothing.
  controller_->appDidBecomeActive();
  mainQueue_.advance(300s);
  EXPECT_EQ(tags().size(), 17u);
  EXPECT_EQ(log_.countContaining("permission missing"), 2u);

  input_->setTrusted(true);
  mainQueue_.advance(300s);  // the periodic check
  top = tags();
  top.resize(3);
  EXPECT_EQ(top, (std::vector<std::optional<int>>{103, kSeparator, kNoTag}));
  EXPECT_FALSE(userInterface_->toolTip.has_value());
  EXPECT_EQ(log_.count("Accessibility permission restored — cleared menu warning"), 1u);

  capture_->setAccessGranted(true);
  controller_->appDidBecomeActive();
  EXPECT_EQ(tags().size(), 13u);
  EXPECT_EQ(log_.count("Screen Recording permission restored — cleared menu warning"), 1u);
}

TEST_F(StatusMenuTest, OnlyAMissingScreenRecordingPermissionIsWarnedAboutAtTheTop) {
  screenRecordingGranted_ = false;
  makeController({{1920, 1080, 1}});
  EXPECT_EQ(tags().front(), 103);
  EXPECT_EQ(tags()[1], kSeparator);
  EXPECT_FALSE(userInterface_->toolTip.has_value());
}

TEST_F(StatusMenuTest, AWarningOpensTheHelpAndExplainsInAnAlertWhenNothingCameForward) {
  auto help = std::make_shared<FakePermissionHelp>();
  permissionHelp_ = help;
  accessibilityGranted_ = false;
  screenRecordingGranted_ = false;
  makeController({{1920, 1080, 1}});

  item(102).action();
  mainQueue_.advance(500ms);
  EXPECT_EQ(help->opened, std::vector<PermissionKind>{PermissionKind::accessibility});
  EXPECT_TRUE(userInterface_->alerts.empty());

  help->cameToFront = false;
  item(103).action();
  mainQueue_.advance(499ms);
  EXPECT_TRUE(userInterface_->alerts.empty());
  mainQueue_.advance(1ms);
  ASSERT_EQ(userInterface_->alerts.size(), 1u);
  EXPECT_NE(userInterface_->alerts.front().find("["), std::string::npos);
}

TEST_F(StatusMenuTest, ThePanelShowsTheCodeSpacedAndTheMenuCommandForcesIt) {
  makeController({{1920, 1080, 1}});
  controller_->showVerificationCode();
  ASSERT_EQ(userInterface_->panels.size(), 1u);
  const auto& panel = userInterface_->panels.front();
  const auto& code = controller_->pairingCode();
  EXPECT_EQ(panel.code, code);
  const std::string spaced{code[0], ' ', code[1], ' ', code[2], ' ', code[3]};
  EXPECT_EQ(panel.spacedCode, spaced);
  EXPECT_FALSE(panel.title.empty());
  EXPECT_EQ(log_.count("Presenting verification code panel (force=1)"), 1u);
}

}  // namespace
}  // namespace velmora
