#include "platform/qt/tray_user_interface.h"

#include "platform/qt/qt_test_support.h"
#include "platform/qt/status_panel.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace velmora {
namespace {

StatusMenuItem line(std::string title) {
  StatusMenuItem item;
  item.title = std::move(title);
  return item;
}

std::string firstTitle(const QMenu& menu) { return menu.actions().at(0)->text().toStdString(); }

class TrayUserInterfaceOffscreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::QtTestApplication::get("offscreen");
    output = std::tmpfile();
    auto made = TrayUserInterface::create({"/no/such/Velmora-MenuBar-Icon.png", output});
    ASSERT_TRUE(made.ok()) << made.error();
    ui = made.value();
    ui->setMenuSource(source);
  }
  void TearDown() override {
    ui.reset();
    std::fclose(output);
  }

  std::string written() {
    std::rewind(output);
    std::string text(4096, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), output));
    return text;
  }

  std::FILE* output = nullptr;
  std::shared_ptr<testing::FakeStatusMenuSource> source = std::make_shared<testing::FakeStatusMenuSource>();
  std::shared_ptr<TrayUserInterface> ui;
};

TEST_F(TrayUserInterfaceOffscreenTest, OpeningTheMenuAsksTheSourceFirstAndChangesReachTheOpenMenu) {
  source->items = {line("Status: Waiting")};
  ui->menu().popup(QPoint(10, 10));
  ASSERT_TRUE(testing::processEventsUntil([&] { return ui->menu().isVisible(); }));
  EXPECT_EQ(source->openings, std::vector<bool>{false});
  EXPECT_EQ(firstTitle(ui->menu()), "Status: Waiting");

  source->items = {line("Status: Streaming"), line("Client: Vision")};
  ui->menuChanged();
  EXPECT_EQ(firstTitle(ui->menu()), "Status: Streaming");
  EXPECT_EQ(source->openings.size(), 1u) << "a change re-renders without opening anew";

  ui->menu().hide();
  source->items = {line("Status: Stopped")};
  ui->menuChanged();
  EXPECT_EQ(firstTitle(ui->menu()), "Status: Streaming") << "a closed menu waits for its next opening";
}

// The panel's live entries as "label:TEXT" and "button:TEXT" (with "+N" for a menu of N entries).
std::vector<std::string> panelEntries(const QWidget& panel) {
  std::vector<std::string> entries;
  for (const QWidget* entry : panel.findChildren<QWidget*>()) {
    if (const auto* label = qobject_cast<const QLabel*>(entry); label && label->isVisibleTo(&panel)) {
      entries.push_back("label:" + label->text().toStdString());
    } else if (const auto* button = qobject_cast<const QPushButton*>(entry); button && button->isVisibleTo(&panel)) {
      const auto menu = button->menu() ? "+" + std::to_string(button->menu()->actions().size()) : "";
      entries.push_back("button:" + button->text().toStdString() + menu + (button->isEnabled() ? "" : " (off)"));
    }
  }
  return entries;
}

TEST_F(TrayUserInterfaceOffscreenTest, TheStatusPanelOffersTheMenusEntriesAndFollowsItsChanges) {
  int starts = 0;
  auto start = line("Start Server");
  start.action = [&] {
    ++starts;
    source->items[1] = line("Status: Streaming");
    ui->menuChanged();
  };
  auto display = line("Display");
  display.hasSubmenu = true;
  display.submenu = {line("Display 1"), line("Display 2")};
  auto hidden = line("Fingerprint");
  hidden.hidden = true;
  auto stop = line("Stop Server");
  stop.action = [] {};
  stop.enabled = false;
  source->items = {line("Velmora"), line("Status: Waiting"), start, stop, display, hidden};

  ui->showStatusPanel();
  ASSERT_TRUE(ui->statusPanel() && ui->statusPanel()->isVisible());
  EXPECT_EQ(source->openings, std::vector<bool>{false}) << "the choosers are filled as for the menu";
  const std::vector<std::string> shown = {"label:Velmora", "label:Status: Waiting", "button:Start Server",
                                          "button:Stop Server (off)", "button:Display+2"};
  EXPECT_EQ(panelEntries(*ui->statusPanel()), shown);

  for (auto* button : ui->statusPanel()->findChildren<QPushButton*>()) {
    if (button->text() == QStringLiteral("Start Server")) {
      button->click();
    }
  }
  ASSERT_TRUE(testing::processEventsUntil([&] {
    return panelEntries(*ui->statusPanel()).at(1) == "label:Status: Streaming";
  }));
  EXPECT_EQ(starts, 1);
}

TEST_F(TrayUserInterfaceOffscreenTest, StatusAndCodeGoToTheOutputAndTheToolTipCanBeCleared) {
  ui->statusChanged("Waiting for a client");
  ui->presentVerificationCode({"Verification Code", "Enter this code.", "0042", "0 0 4 2"});
  ui->setToolTip("Accessibility is missing");
  EXPECT_EQ(ui->trayIcon().toolTip(), QStringLiteral("Accessibility is missing"));
  ui->setToolTip(std::nullopt);
  EXPECT_TRUE(ui->trayIcon().toolTip().isEmpty());
  EXPECT_EQ(written(), "Status: Waiting for a client\nVerification code: 0042\n");
}

TEST_F(TrayUserInterfaceOffscreenTest, AnIconFileThatIsNotAReadableImageFallsBackToTheDrawnIcon) {
  EXPECT_TRUE(ui->usesFallbackIcon()) << "a missing file";
  EXPECT_FALSE(ui->trayIcon().icon().isNull());

  const auto iconFile = std::filesystem::temp_directory_path() / ("velmora-icon-" + std::to_string(getpid()) + ".png");
  QImage templateImage(36, 36, QImage::Format_ARGB32);
  templateImage.fill(Qt::black);
  ASSERT_TRUE(templateImage.save(QString::fromStdString(iconFile.string()), "PNG"));
  EXPECT_FALSE(TrayUserInterface::create({iconFile.string(), output}).value()->usesFallbackIcon());
  std::ofstream(iconFile) << "not a picture";
  EXPECT_TRUE(TrayUserInterface::create({iconFile.string(), output}).value()->usesFallbackIcon());
  std::filesystem::remove(iconFile);
}

TEST_F(TrayUserInterfaceOffscreenTest, AnAlertHasTheMessageAndOneButtonAndReturnsOnceClosed) {
  QString shown;
  QTimer::singleShot(0, [&] {
    auto* alert = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    ASSERT_TRUE(alert && alert->buttons().size() == 1);
    shown = alert->text() + " / " + alert->buttons().front()->text();
    alert->buttons().front()->click();
  });
  ui->showAlert("Open Settings to allow input", "Got It");

  EXPECT_EQ(shown, QStringLiteral("Open Settings to allow input / Got It"));
}

}  // namespace
}  // namespace velmora
