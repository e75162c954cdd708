#include "platform/qt/tray_user_interface.h"

#include "platform/log/log.h"
#include "platform/qt/qt_test_support.h"
#include "platform/qt/qt_tray_application.h"
#include "platform/qt/verification_code_panel.h"
#include "platform/testing/child_process.h"
#include "platform/testing/xvfb_server.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Xlib's macros collide with Qt's names: it comes after every Qt header.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

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

std::vector<StatusMenuItem> statusMenuModel() {
  StatusMenuItem header;
  header.kind = StatusMenuItem::Kind::header;
  header.title = "Velmora";
  StatusMenuItem separator;
  separator.kind = StatusMenuItem::Kind::separator;
  StatusMenuItem quit;
  quit.title = "Quit";
  quit.keyEquivalent = "q";
  quit.action = [] {};
  return {header, separator, quit};
}

QImage screenshot(const QRect& area) {
  return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

void saveArtifact(const QImage& image, const std::string& name) {
  const QString folder = QStringLiteral(VELMORA_TEST_ARTIFACTS_DIR);
  QDir().mkpath(folder);
  EXPECT_TRUE(image.save(folder + "/" + QString::fromStdString(name), "PNG")) << name;
}

std::size_t distinctColours(const QImage& image) {
  std::set<QRgb> colours;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      colours.insert(image.pixel(x, y));
    }
  }
  return colours.size();
}

// Which pixels carry ink: those far from the region's most common lightness (its background).
std::vector<bool> inkMask(const QImage& image) {
  std::map<int, int> lightnessCount;
  std::vector<int> lightness;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      lightness.push_back(qGray(image.pixel(x, y)));
      ++lightnessCount[lightness.back()];
    }
  }
  const int background =
      std::max_element(lightnessCount.begin(), lightnessCount.end(), [](auto a, auto b) { return a.second < b.second; })
          ->first;
  std::vector<bool> mask;
  for (const int value : lightness) {
    mask.push_back(std::abs(value - background) > 96);
  }
  return mask;
}

// How well the ink on the screen agrees with `text` drawn in the code box's font: shared over all ink.
double overlapWithText(const std::vector<bool>& shown, const QRect& box, const QFont& font, const QString& text) {
  QImage image(box.size(), QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setFont(font);
  painter.drawText(image.rect(), Qt::AlignCenter, text);
  painter.end();
  const auto drawn = inkMask(image);
  std::size_t both = 0;
  std::size_t either = 0;
  for (std::size_t index = 0; index < shown.size() && index < drawn.size(); ++index) {
    both += shown[index] && drawn[index];
    either += shown[index] || drawn[index];
  }
  return either == 0 ? 0.0 : static_cast<double>(both) / static_cast<double>(either);
}

// A format-32 property of a window, one long per item as Xlib hands it out.
std::vector<unsigned long> windowProperty(Display* display, unsigned long window, const char* name, Atom type) {
  Atom actualType = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  std::vector<unsigned long> items;
  if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 64, False, type, &actualType, &format,
                         &count, &remaining, &data) == Success &&
      data != nullptr) {
    const auto* values = reinterpret_cast<const unsigned long*>(data);
    for (unsigned long index = 0; index < count; ++index) {
      items.push_back(values[index] & 0xFFFFFFFFul);  // Xlib sign-extends the 32-bit items
    }
    XFree(data);
  }
  return items;
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
    source->items = statusMenuModel();
    ui->setMenuSource(source);
  }

  void clickTrayIcon(const char* buttonAndKeys) {
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
  if (!startTrayHost()) {
    GTEST_SKIP() << "trayer is not available";
  }
  if (!installed("xdotool")) {
    GTEST_SKIP() << "xdotool is not available";
  }
  makeUserInterface();
  const QRect screen(0, 0, kScreenWidth, kScreenHeight);
  ASSERT_TRUE(testing::processEventsUntil([&] {
    const QRect icon = ui->trayIcon().geometry();
    return icon.isValid() && screen.contains(icon) && distinctColours(screenshot(icon)) > 1;
  })) << "the icon is embedded and drawn";
  saveArtifact(screenshot(ui->trayIcon().geometry()), "tray-icon.png");

  clickTrayIcon("click 1");
  ASSERT_TRUE(testing::processEventsUntil([&] { return ui->menu().isVisible(); })) << "left click";
  EXPECT_EQ(source->openings, std::vector<bool>{false});
  EXPECT_EQ(ui->menu().actions().size(), 3);
  ASSERT_TRUE(testing::processEventsUntil([&] { return ui->menu().windowHandle()->isExposed(); }));
  QCoreApplication::processEvents();
  const QImage menuImage = screenshot(ui->menu().geometry());
  saveArtifact(menuImage, "status-menu.png");
  EXPECT_EQ(menuImage.size(), ui->menu().size());
  EXPECT_GT(distinctColours(menuImage), 2u) << "the menu is drawn";
  ui->menu().hide();

  // Alt stays down until the menu has opened: Qt asks for the modifiers only when it gets the click.
  clickTrayIcon("keydown Alt_L click 3");
  const bool opened = testing::processEventsUntil([&] { return ui->menu().isVisible(); });
  ASSERT_EQ(xvfb().run("xdotool keyup Alt_L"), 0);
  ASSERT_TRUE(opened) << "right click";
  EXPECT_EQ(source->openings, (std::vector<bool>{false, true})) << "opened with Alt held";
  ui->menu().hide();
}

TEST_F(TrayOnXvfbTest, ThePanelShowsTheSpacedCodeCentredOnEveryWorkspaceAndHidesOnDismiss) {
  makeUserInterface();
  ui->presentVerificationCode({"Verification Code", "Enter this code on the device you want to pair with this host.",
                               "0042", "0 0 4 2"});
  VerificationCodePanel* panel = ui->verificationCodePanel();
  ASSERT_NE(panel, nullptr);
  ASSERT_TRUE(testing::processEventsUntil([&] { return panel->windowHandle()->isExposed(); }));

  EXPECT_EQ(panel->geometry(), QRect((kScreenWidth - 460) / 2, (kScreenHeight - 360) / 2, 460, 360));
  EXPECT_EQ(panel->shownCode(), QStringLiteral("0 0 4 2"));
  Display* display = XOpenDisplay(xvfb().display().c_str());
  ASSERT_NE(display, nullptr);
  const auto states = windowProperty(display, panel->winId(), "_NET_WM_STATE", XA_ATOM);
  for (const char* state : {"_NET_WM_STATE_STICKY", "_NET_WM_STATE_ABOVE"}) {
    EXPECT_NE(std::find(states.begin(), states.end(), XInternAtom(display, state, False)), states.end()) << state;
  }
  EXPECT_EQ(windowProperty(display, panel->winId(), "_NET_WM_DESKTOP", XA_CARDINAL),
            std::vector<unsigned long>{0xFFFFFFFFul});
  XCloseDisplay(display);

  // The digits on the screen, compared with the code and with another code drawn the same way.
  const QRect codeBox = panel->codeBoxGlobalGeometry();
  std::vector<bool> shown;
  testing::processEventsUntil([&] {
    shown = inkMask(screenshot(codeBox));
    return overlapWithText(shown, codeBox, panel->codeFont(), QStringLiteral("0 0 4 2")) > 0.8;
  });
  saveArtifact(screenshot(panel->geometry()), "verification-code-panel.png");
  const double matchesCode = overlapWithText(shown, codeBox, panel->codeFont(), QStringLiteral("0 0 4 2"));
  EXPECT_GT(matchesCode, 0.8);
  EXPECT_LT(overlapWithText(shown, codeBox, panel->codeFont(), QStringLiteral("7 1 3 8")), matchesCode - 0.3)
      << "the code drawn is not just any text";

  ui->dismissVerificationCode();
  EXPECT_TRUE(testing::processEventsUntil([&] { return !panel->isVisible(); }));
  ui->presentVerificationCode({"Verification Code", "Enter this code.", "1234", "1 2 3 4"});
  EXPECT_EQ(ui->verificationCodePanel(), panel) << "the panel is kept for reuse";
  EXPECT_TRUE(testing::processEventsUntil([&] { return panel->isVisible(); }));
  EXPECT_EQ(panel->shownCode(), QStringLiteral("1 2 3 4"));
  ui->dismissVerificationCode();
}

TEST_F(TrayOnXvfbTest, WithoutATrayHostItSaysSoKeepsWorkingAndTheIconComesOnceAHostStarts) {
  ASSERT_TRUE(testing::processEventsUntil([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }));
  log::MemoryLogSink logs;
  makeUserInterface();

  EXPECT_EQ(logs.countContaining("No system tray is available"), 1u);
  ui->presentVerificationCode({"Verification Code", "Enter this code.", "0042", "0 0 4 2"});
  EXPECT_TRUE(testing::processEventsUntil([&] { return ui->verificationCodePanel()->isVisible(); }));
  ui->dismissVerificationCode();

  EXPECT_FALSE(ui->trayIcon().geometry().isValid());
  if (!startTrayHost()) {
    GTEST_SKIP() << "trayer is not available";
  }
  EXPECT_TRUE(testing::processEventsUntil([&] { return ui->trayIcon().geometry().isValid(); }));
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
