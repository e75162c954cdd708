#include "platform/qt/tray_user_interface.h"

#include "platform/qt/status_menu_renderer.h"
#include "platform/qt/status_panel.h"
#include "platform/qt/tray_icons.h"
#include "platform/qt/verification_code_panel.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QThread>

namespace velmora {

Result<std::shared_ptr<TrayUserInterface>> TrayUserInterface::create(const Options& options) {
  auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (application == nullptr) {
    return Result<std::shared_ptr<TrayUserInterface>>::failure("the tray needs a QApplication");
  }
  if (QThread::currentThread() != application->thread()) {
    return Result<std::shared_ptr<TrayUserInterface>>::failure("the tray must be made on the application's thread");
  }
  return std::make_shared<TrayUserInterface>(Key{}, options);
}

TrayUserInterface::TrayUserInterface(Key, const Options& options)
    : output_(options.output), menu_(std::make_unique<QMenu>()), trayIcon_(std::make_unique<QSystemTrayIcon>()) {
  // A tray application has no main window: closing an alert or the panel must not end it.
  QApplication::setQuitOnLastWindowClosed(false);

  const QColor tint = QApplication::palette().color(QPalette::WindowText);
  normalIcon_ = loadMenuBarIcon(options.menuBarIconPath, tint, &usesFallbackIcon_);
  inUseIcon_ = inUseMenuBarIcon(normalIcon_, tint);
  trayIcon_->setIcon(normalIcon_);
  if (usesFallbackIcon_) {
    logger_.notice("The menu bar icon {} could not be loaded — using the built-in one", options.menuBarIconPath);
  }

  QObject::connect(menu_.get(), &QMenu::aboutToShow, menu_.get(), [this] { menuAboutToShow(); });
  // Right click: the tray shows the context menu itself. Left click: the same menu, at the pointer.
  trayIcon_->setContextMenu(menu_.get());
  QObject::connect(trayIcon_.get(), &QSystemTrayIcon::activated, menu_.get(),
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::Trigger) {
                       menu_->popup(QCursor::pos());
                     }
                   });

  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    logger_.notice(
        "No system tray is available — the status menu cannot be shown there (launching velmora-host again shows "
        "it in a window); the verification code panel and the "
        "status lines on standard output still work");
  }
  // Shown even without a tray: Qt embeds the icon once a tray host appears.
  trayIcon_->show();
}

TrayUserInterface::~TrayUserInterface() = default;

void TrayUserInterface::setMenuSource(std::weak_ptr<StatusMenuSource> source) { source_ = std::move(source); }

void TrayUserInterface::menuChanged() {
  if (menu_->isVisible()) {
    render();
  }
  if (statusPanel_ && statusPanel_->isVisible()) {
    renderStatusPanel();
  }
}

void TrayUserInterface::showStatusPanel() {
  if (auto source = source_.lock()) {
    source->menuWillOpen(false);
  }
  if (!statusPanel_) {
    statusPanel_ = std::make_unique<StatusPanel>();
  }
  renderStatusPanel();
  statusPanel_->present();
}

void TrayUserInterface::statusChanged(const std::string& statusText) {
  std::fprintf(output_, "Status: %s\n", statusText.c_str());
  std::fflush(output_);
}

void TrayUserInterface::setToolTip(const std::optional<std::string>& text) {
  trayIcon_->setToolTip(text ? QString::fromStdString(*text) : QString());
}

void TrayUserInterface::setInUse(bool inUse) { trayIcon_->setIcon(inUse ? inUseIcon_ : normalIcon_); }

void TrayUserInterface::presentVerificationCode(const VerificationCodePanelContent& content) {
  std::fprintf(output_, "Verification code: %s\n", content.code.c_str());
  std::fflush(output_);
  if (!panel_) {
    panel_ = std::make_unique<VerificationCodePanel>();
  }
  panel_->setContent(content);
  panel_->present();
}

void TrayUserInterface::dismissVerificationCode() {
  if (panel_) {
    panel_->hide();
  }
}

void TrayUserInterface::showAlert(const std::string& message, const std::string& buttonTitle) {
  QMessageBox alert;
  alert.setIcon(QMessageBox::Warning);
  alert.setText(QString::fromStdString(message));
  alert.addButton(QString::fromStdString(buttonTitle), QMessageBox::AcceptRole);
  alert.setWindowFlag(Qt::WindowStaysOnTopHint);
  alert.exec();
}

void TrayUserInterface::menuAboutToShow() {
  if (auto source = source_.lock()) {
    source->menuWillOpen(QGuiApplication::queryKeyboardModifiers().testFlag(Qt::AltModifier));
  }
  render();
}

void TrayUserInterface::renderStatusPanel() {
  const auto source = source_.lock();
  statusPanel_->render(source ? source->statusMenuItems() : std::vector<StatusMenuItem>{});
}

void TrayUserInterface::render() {
  const auto source = source_.lock();
  renderStatusMenu(*menu_, source ? source->statusMenuItems() : std::vector<StatusMenuItem>{});
}

}  // namespace velmora
