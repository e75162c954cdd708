#include "platform/qt/tray_user_interface.h"

#include "platform/log/log.h"
#include "platform/qt/qt_test_support.h"
#include "platform/qt/qt_tray_application.h"
#include "platform/qt/tray_icons.h"
#include "platform/qt/verification_code_panel.h"
#include "platform/testing/child_process.h"
#include "platform/testing/xvfb_server.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QWindow>

#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

constexpr int kScreenWidth = 1280;
constexpr int kScreenHeight = 800;

// One X server for the whole program: the QApplication connects to it once and for good.
testing::XvfbServer& xvfb() {
  static testing::XvfbServer server(kScreenWidth, kScreenHeight);
  return server;
}

bool installed(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null").c_str()) == 0;
}

QImage grab(const QRect& area) {
  return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

int differingPixels(const QImage& first, const QImage& second) {
  if (first.size() != second.size()) {
    return first.width() * first.height();
  }
  int count = 0;
  for (int y = 0; y < first.height(); ++y) {
    for (int x = 0; x < first.width(); ++x) {
      count += first.pixel(x, y) != second.pixel(x, y) ? 1 : 0;
    }
  }
  return count;
}

// More than one colour in `area` of the screen: something is drawn there. Saved for a reviewer.
bool drawn(const QRect& area, const std::string& artifactName) {
  const QImage image = grab(area);
  QDir().mkpath(QStringLiteral(VELMORA_TEST_ARTIFACTS_DIR));
  image.save(QStringLiteral(VELMORA_TEST_ARTIFACTS_DIR "/") + QString::fromStdString(artifactName), "PNG");
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      colours.insert(image.pixel(x, y));
    }
  }
  return colours.size() > 1;
}

class TrayOnXvfbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfb().available()) {
      GTEST_SKIP() << "Xvfb is not available";
    }
    setenv("DISPLAY", xvfb().display().c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    // The icon must go to the X tray host, not to a StatusNotifier host on some session bus.
    setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
    testing::QtTestApplication::get("xcb");
    output = std::tmpfile();
  }
  void TearDown() override {
    ui.reset();
    trayHost.reset();
    if (output != nullptr) {
      std::fclose(output);
    }
  }

  // trayer as the tray host; false when it is not installed.
  bool startTrayHost() {
    if (!installed("trayer")) {
      return false;
    }
    trayHost = std::make_unique<testing::ChildProcess>(
        "trayer", std::vector<std::string>{"--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                                           "24", "--SetDockType", "false", "--transparent", "false"});
    return trayHost->started() && testing::processEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); });
  }

  void makeUserInterface() {
    auto made = TrayUserInterface::create({"/no/such/Velmora-MenuBar-Icon.png", output});
    ASSERT_TRUE(made.ok()) << made.error();
    ui = made.value();
    source->items.resize(1);
    source->items[0].title = "Quit";
    source->items[0].action = [] {};
    ui->setMenuSource(source);
  }

  void clickTrayIcon(const std::string& buttonAndKeys) {
    const QPoint centre = ui->trayIcon().geometry().center();
    ASSERT_EQ(xvfb().run("xdotool mousemove " + std::to_string(centre.x()) + " " + std::to_string(centre.y()) + " " +
                         buttonAndKeys),
              0);
  }

  std::FILE* output = nullptr;
  std::unique_ptr<testing::ChildProcess> trayHost;
  std::shared_ptr<testing::FakeStatusMenuSource> source = std::make_shared<testing::FakeStatusMenuSource>();
  std::shared_ptr<TrayUserInterface> ui;
};

TEST_F(TrayOnXvfbTest, TheIconSitsInTheTrayAndEitherClickOpensTheModelsMenu) {
  if (!startTrayHost() || !installed("xdotool")) {
    GTEST_SKIP() << "trayer or xdotool is not available";
  }
  makeUserInterface();
  const QRect screen(0, 0, kScreenWidth, kScreenHeight);
  ASSERT_TRUE(testing::processEventsUntil([&] {
    const QRect icon = ui->trayIcon().geometry();
    return icon.isValid() && screen.contains(icon) && drawn(icon, "tray-icon.png");
  })) << "the icon is embedded and drawn";

  clickTrayIcon("click 1");
  ASSERT_TRUE(testing::processEventsUntil([&] { return ui->menu().isVisible(); })) << "left click";
  EXPECT_EQ(ui->menu().actions().size(), 1);
  EXPECT_TRUE(testing::processEventsUntil([&] { return drawn(ui->menu().geometry(), "status-menu.png"); }));
  ui->menu().hide();

  // Alt stays down until the menu has opened: Qt asks for the modifiers only when it gets the click.
  clickTrayIcon("keydown Alt_L click 3");
  const bool opened = testing::processEventsUntil([&] { return ui->menu().isVisible(); });
  ASSERT_EQ(xvfb().run("xdotool keyup Alt_L"), 0);
  ASSERT_TRUE(opened) << "right click";
  EXPECT_EQ(source->openings, (std::vector<bool>{false, true})) << "opened with Alt held";
  ui->menu().hide();
}

QMenu* submenuTitled(const QMenu& menu, const QString& title) {
  for (QAction* action : menu.actions()) {
    if (action->text() == title) {
      return action->menu();
    }
  }
  return nullptr;
}

// The trusted devices' shape: a submenu per device with its Forget, chosen in the open menu.
TEST_F(TrayOnXvfbTest, ASubmenuInASubmenuIsShownAndItsChoiceRendersTheMenuAnew) {
  if (!startTrayHost() || !installed("xdotool")) {
    GTEST_SKIP() << "trayer or xdotool is not available";
  }
  makeUserInterface();
  StatusMenuItem devices;
  devices.title = "Trusted Devices";
  devices.hasSubmenu = true;
  devices.submenu.resize(1);
  devices.submenu[0].title = "Vision — last connected 3 days ago";
  devices.submenu[0].hasSubmenu = true;
  devices.submenu[0].submenu.resize(1);
  devices.submenu[0].submenu[0].title = "Forget";
  devices.submenu[0].submenu[0].action = [&] {
    source->items[1].submenu = {source->items[0]};
    source->items[1].submenu[0].title = "No trusted devices";
    ui->menuChanged();
  };
  source->items.push_back(devices);
  ASSERT_TRUE(testing::processEventsUntil([&] {
    const QRect icon = ui->trayIcon().geometry();
    return icon.isValid() && QRect(0, 0, kScreenWidth, kScreenHeight).contains(icon) && drawn(icon, "tray-icon.png");
  }));
  clickTrayIcon("click 1");
  ASSERT_TRUE(testing::processEventsUntil([&] { return ui->menu().isVisible(); }));

  QMenu* trusted = submenuTitled(ui->menu(), "Trusted Devices");
  ASSERT_NE(trusted, nullptr);
  trusted->popup(ui->menu().geometry().bottomLeft());
  QMenu* device = submenuTitled(*trusted, "Vision — last connected 3 days ago");
  ASSERT_NE(device, nullptr);
  device->popup(trusted->geometry().bottomLeft());
  ASSERT_TRUE(testing::processEventsUntil([&] { return device->isVisible() && drawn(device->geometry(), "device-menu.png"); }));
  device->actions().at(0)->trigger();
  ASSERT_TRUE(testing::processEventsUntil([&] {
    QMenu* renewed = submenuTitled(ui->menu(), "Trusted Devices");
    return renewed != nullptr && renewed->actions().size() == 1 && renewed->actions()[0]->text() == "No trusted devices";
  }));
  ui->menu().hide();
}

// Without a tray the host still pairs: the panel shows the code on every workspace, and is reused.
TEST_F(TrayOnXvfbTest, WithoutATrayHostItSaysSoThePanelWorksAndTheIconComesOnceAHostStarts) {
  ASSERT_TRUE(testing::processEventsUntil([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }));
  log::MemoryLogSink logs;
  makeUserInterface();
  EXPECT_EQ(logs.countContaining("No system tray is available"), 1u);
  EXPECT_FALSE(ui->trayIcon().geometry().isValid());

  ui->presentVerificationCode({"Verification Code", "Enter this code.", "0042", "0 0 4 2"});
  VerificationCodePanel* panel = ui->verificationCodePanel();
  ASSERT_TRUE(panel && testing::processEventsUntil([&] { return panel->windowHandle()->isExposed(); }));
  EXPECT_EQ(panel->geometry(), QRect((kScreenWidth - 460) / 2, (kScreenHeight - 360) / 2, 460, 360));
  EXPECT_EQ(panel->shownCode(), QStringLiteral("0 0 4 2"));
  EXPECT_TRUE(testing::processEventsUntil([&] { return drawn(panel->codeBoxGlobalGeometry(), "code.png"); }));
  const std::string xprop = "xprop -id " + std::to_string(panel->winId());
  EXPECT_EQ(xvfb().run(xprop + " _NET_WM_STATE | grep _NET_WM_STATE_STICKY | grep -q _NET_WM_STATE_ABOVE"), 0);
  EXPECT_EQ(xvfb().run(xprop + " _NET_WM_DESKTOP | grep -q 4294967295"), 0);
  ui->dismissVerificationCode();
  EXPECT_TRUE(testing::processEventsUntil([&] { return !panel->isVisible(); }));
  ui->presentVerificationCode({"Verification Code", "Enter this code.", "1234", "1 2 3 4"});
  EXPECT_EQ(ui->verificationCodePanel(), panel);
  EXPECT_TRUE(testing::processEventsUntil([&] { return panel->isVisible(); }));
  EXPECT_EQ(panel->shownCode(), QStringLiteral("1 2 3 4"));
  ui->dismissVerificationCode();

  if (!startTrayHost()) {
    GTEST_SKIP() << "trayer is not available";
  }
  EXPECT_TRUE(testing::processEventsUntil([&] { return ui->trayIcon().geometry().isValid(); }));
}

// Enough changed pixels to be seen at 18 pixels, not a shade of antialiasing.
constexpr int kVisibleChange = 12;

TEST_F(TrayOnXvfbTest, WhileInUseTheTrayShowsADistinctTintedIconAndAfterwardsTheNormalOne) {
  const QColor tint = QApplication::palette().color(QPalette::WindowText);
  for (const QIcon& normal :
       {loadMenuBarIcon(VELMORA_RESOURCES_DIR "/Velmora-MenuBar-Icon.png", tint), drawnMenuBarIcon(tint)}) {
    const QSize size(kMenuBarIconSize, kMenuBarIconSize);
    const QImage inUse = inUseMenuBarIcon(normal, tint).pixmap(size, 1.0).toImage();
    EXPECT_GE(differingPixels(normal.pixmap(size, 1.0).toImage(), inUse), kVisibleChange);
    EXPECT_EQ(inUse.pixelColor(14, 14), tint) << "the badge follows the tint";
  }

  if (!startTrayHost()) {
    GTEST_SKIP() << "trayer is not available";
  }
  makeUserInterface();
  QRect icon;
  QImage normal;
  ASSERT_TRUE(testing::processEventsUntil([&] {
    icon = ui->trayIcon().geometry();
    const QImage previous = std::exchange(normal, grab(icon));
    return icon.isValid() && drawn(icon, "tray-icon.png") && differingPixels(previous, normal) == 0;
  })) << "the normal icon is embedded and drawn";

  ui->setInUse(true);
  EXPECT_TRUE(testing::processEventsUntil([&] { return differingPixels(grab(icon), normal) >= kVisibleChange; }));
  drawn(icon, "tray-icon-in-use.png");
  ui->setInUse(false);
  EXPECT_TRUE(testing::processEventsUntil([&] { return differingPixels(grab(icon), normal) == 0; }));
}

TEST_F(TrayOnXvfbTest, AnXDisplayThatOpensIsAGraphicalSessionForQtsXcbPlatform) {
  unsetenv("QT_QPA_PLATFORM");
  const auto session = findGraphicalSession();
  setenv("QT_QPA_PLATFORM", "xcb", 1);

  ASSERT_TRUE(session.ok()) << session.error();
  EXPECT_EQ(session.value().platform, "xcb");
}

}  // namespace
}  // namespace velmora
