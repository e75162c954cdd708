#include "platform/qt/status_menu_renderer.h"

#include "platform/qt/qt_test_support.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QWidgetAction>

#include <string>
#include <vector>

namespace velmora {
namespace {

StatusMenuItem entry(std::string title, std::function<void()> action = nullptr,
                     StatusMenuItem::Kind kind = StatusMenuItem::Kind::item) {
  StatusMenuItem item;
  item.title = std::move(title);
  item.action = std::move(action);
  item.kind = kind;
  return item;
}

class StatusMenuRendererTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::QtTestApplication::get("offscreen"); }

  // The status menu's shape: header, status line, a hidden line, actions with keys, a chooser.
  std::vector<StatusMenuItem> model() {
    const auto calling = [this](std::string name) { return [this, name] { calls.push_back(name); }; };
    const auto separator = entry("", nullptr, StatusMenuItem::Kind::separator);
    std::vector<StatusMenuItem> items = {
        entry("Velmora", nullptr, StatusMenuItem::Kind::header), entry("Status: Waiting"), entry("Fingerprint: abc"),
        separator, entry("Start Server", calling("start")), entry("Stop Server", calling("stop")), separator,
        entry("Display", calling("display"))};
    items[2].hidden = true;
    items[4].keyEquivalent = "s";
    items[5].enabled = false;
    items[7].hasSubmenu = true;
    items[7].submenu = {entry("Display 1 (main)", calling("display 1")), entry("Display 2", calling("display 2"))};
    items[7].submenu[0].checked = true;
    return items;
  }

  static QAction* find(const QMenu& menu, const std::string& title) {
    for (QAction* action : menu.actions()) {
      if (action->text().toStdString() == title) {
        return action;
      }
    }
    return nullptr;
  }

  std::vector<std::string> calls;
};

TEST_F(StatusMenuRendererTest, RendersEveryShownEntryWithItsStateKeyAndSubmenu) {
  QMenu menu;
  renderStatusMenu(menu, model());

  ASSERT_EQ(menu.actions().size(), 7) << "every entry but the hidden one";
  EXPECT_EQ(find(menu, "Fingerprint: abc"), nullptr);
  EXPECT_TRUE(menu.actions().at(2)->isSeparator());
  auto* header = qobject_cast<QWidgetAction*>(menu.actions().at(0));
  ASSERT_NE(header, nullptr);
  EXPECT_FALSE(header->isEnabled());
  EXPECT_EQ(header->defaultWidget()->findChild<QLabel*>()->text(), QStringLiteral("Velmora"));

  EXPECT_FALSE(find(menu, "Status: Waiting")->isEnabled()) << "a line without an action cannot be chosen";
  EXPECT_TRUE(find(menu, "Start Server")->isEnabled());
  EXPECT_FALSE(find(menu, "Stop Server")->isEnabled());
  EXPECT_EQ(find(menu, "Start Server")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));

  QMenu* displays = find(menu, "Display")->menu();
  ASSERT_NE(displays, nullptr);
  EXPECT_TRUE(find(*displays, "Display 1 (main)")->isChecked());
  EXPECT_FALSE(find(*displays, "Display 2")->isChecked());
}

// The controller re-renders from inside an action (Start Server changes the status line).
TEST_F(StatusMenuRendererTest, ChosenActionsRunOnceTheMenuIsLeftAndMayRenderTheMenuAnew) {
  QMenu menu;
  std::vector<StatusMenuItem> items = model();
  items[4].action = [&] {
    auto changed = model();
    changed[1].title = "Status: Starting";
    renderStatusMenu(menu, changed);
    calls.push_back("start");
  };
  renderStatusMenu(menu, items);

  find(menu, "Start Server")->trigger();
  find(*find(menu, "Display")->menu(), "Display 2")->trigger();
  EXPECT_TRUE(calls.empty()) << "actions run from the event loop, not inside the menu's signal";
  testing::processEventsUntil([&] { return calls.size() == 2; });
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

  EXPECT_EQ(calls, (std::vector<std::string>{"start", "display 2"}));
  EXPECT_NE(find(menu, "Status: Starting"), nullptr);
  EXPECT_EQ(find(menu, "Status: Waiting"), nullptr);
  EXPECT_EQ(menu.findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly).size(), 1) << "old submenus are deleted";
}

}  // namespace
}  // namespace velmora
