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

StatusMenuItem entry(std::string title, bool withAction = true) {
  StatusMenuItem item;
  item.title = std::move(title);
  if (withAction) {
    item.action = [] {};
  }
  return item;
}

std::vector<StatusMenuItem> statusMenuModel() {
  StatusMenuItem header = entry("Velmora", false);
  header.kind = StatusMenuItem::Kind::header;
  StatusMenuItem separator;
  separator.kind = StatusMenuItem::Kind::separator;
  StatusMenuItem start = entry("Start Server");
  start.keyEquivalent = "s";
  StatusMenuItem display = entry("Display");
  display.hasSubmenu = true;
  StatusMenuItem main = entry("Display 1 (1920 x 1080, main)");
  main.checked = true;
  display.submenu = {main};
  StatusMenuItem quit = entry("Quit");
  quit.keyEquivalent = "q";
  return {header, entry("Status: Waiting for a client", false), separator, start, entry("Stop Server"),
          separator, display, separator, quit};
}

std::vector<std::string> titles(const QMenu& menu) {
  std::vector<std::string> result;
  for (const QAction* action : menu.actions()) {
    result.push_back(action->isSeparator() ? "---" : action->text().toStdString());
  }
  return result;
}

QImage screenshot(const QRect& area) {
  return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()).toImage();
}

std::string saveArtifact(const QImage& image, const std::string& name) {
  const QString folder = QStringLiteral(VELMORA_TEST_ARTIFACTS_DIR);
  QDir().mkpath(folder);
  const QString path = folder + "/" + QString::fromStdString(name);
  EXPECT_TRUE(image.save(path, "PNG")) << path.toStdString();
  return path.toStdString();
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

// Which pixels carry ink: those far from the region's most common colour (its background).
std::vector<bool> inkMask(const QImage& image) {
  std::map<int, int> lightnessCount;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      ++lightnessCount[qGray(image.pixel(x, y))];
    }
  }
  const int background =
      std::max_element(lightnessCount.begin(), lightnessCount.end(), [](auto a, auto b) { return a.second < b.second; })
          ->first;
  std::vector<bool> mask;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      mask.push_back(std::abs(qGray(image.pixel(x, y)) - background) > 96);
    }
  }
  return mask;
}

// How well two ink masks agree: shared ink over all ink.
double overlap(const std::vector<bool>& a, const std::vector<bool>& b) {
  std::size_t both = 0;
  std::size_t either = 0;
  for (std::size_t index = 0; index < a.size(); ++index) {
    both += a[index] && b[index];
    either += a[index] || b[index];
  }
  return either == 0 ? 0.0 : static_cast<double>(both) / static_cast<double>(either);
}

// `text` as the panel's code box would draw it, in black on white.
QImage renderedCode(const QSize& size, const QFont& font, const QString& text) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setFont(font);
  painter.setPen(Qt::black);
  painter.drawText(image.rect(), Qt::AlignCenter, text);
  return image;
}

// A format-32 property of a window, as Xlib hands it out (one long per item).
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

std::vector<std::string> atomNames(Display* display, const std::vector<unsigned long>& atoms) {
  std::vector<std::string> names;
  for (const auto atom : atoms) {
    char* name = XGetAtomName(display, atom);
    names.emplace_back(name);
    XFree(name);
  }
  return names;
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
  EXPECT_EQ(titles(ui->menu()), (std::vector<std::string>{"Velmora", "Status: Waiting for a client", "---",
                                                          "Start Server", "Stop Server", "---", "Display", "---",
                                                          "Quit"}));
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
  const auto states = atomNames(display, windowProperty(display, panel->winId(), "_NET_WM_STATE", XA_ATOM));
  EXPECT_NE(std::find(states.begin(), states.end(), "_NET_WM_STATE_STICKY"), states.end());
  EXPECT_NE(std::find(states.begin(), states.end(), "_NET_WM_STATE_ABOVE"), states.end());
  EXPECT_EQ(windowProperty(display, panel->winId(), "_NET_WM_DESKTOP", XA_CARDINAL),
            std::vector<unsigned long>{0xFFFFFFFFul});
  XCloseDisplay(display);

  // The digits on the screen, compared with the code and with another code drawn the same way.
  const QRect codeBox = panel->codeBoxGlobalGeometry();
  const auto expected = inkMask(renderedCode(codeBox.size(), panel->codeFont(), QStringLiteral("0 0 4 2")));
  const auto other = inkMask(renderedCode(codeBox.size(), panel->codeFont(), QStringLiteral("7 1 3 8")));
  QImage codeImage;
  testing::processEventsUntil([&] {
    codeImage = screenshot(codeBox);
    return overlap(inkMask(codeImage), expected) > 0.8;
  });
  const QImage panelImage = screenshot(panel->geometry());
  saveArtifact(panelImage, "verification-code-panel.png");
  EXPECT_EQ(panelImage.size(), QSize(460, 360));
  const double matchesCode = overlap(inkMask(codeImage), expected);
  const double matchesOther = overlap(inkMask(codeImage), other);
  EXPECT_GT(matchesCode, 0.8);
  EXPECT_LT(matchesOther, matchesCode - 0.3) << "the code drawn is not just any text";

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
  ui->statusChanged("Waiting for a client");
  ui->presentVerificationCode({"Verification Code", "Enter this code.", "0042", "0 0 4 2"});
  EXPECT_TRUE(testing::processEventsUntil([&] { return ui->verificationCodePanel()->isVisible(); }));
  std::rewind(output);
  char line[64] = {};
  ASSERT_NE(std::fgets(line, sizeof line, output), nullptr);
  EXPECT_STREQ(line, "Status: Waiting for a client\n");
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
