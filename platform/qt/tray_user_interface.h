#pragma once

#include "platform/log/log.h"
#include "platform/result.h"
#include "platform/status_user_interface.h"

#include <QIcon>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>

class QMenu;
class QSystemTrayIcon;

namespace velmora {

class StatusPanel;
class VerificationCodePanel;

// The host's face on a desktop: the status menu behind a tray icon (left and right click both open
// it) or, asked for, in a window of its own, the verification-code panel and alerts. Status and code lines also go to an output stream,
// so that a desktop without a tray host still shows them. Main thread only.
class TrayUserInterface final : public StatusUserInterface {
 public:
  struct Options {
    std::string menuBarIconPath;  // a template image; a drawn symbol when missing or unreadable
    std::FILE* output = stdout;
  };

  // Needs a QApplication, and must be called on its thread.
  static Result<std::shared_ptr<TrayUserInterface>> create(const Options& options);

  struct Key {  // only create() makes one
   private:
    friend class TrayUserInterface;
    Key() = default;
  };
  TrayUserInterface(Key key, const Options& options);
  ~TrayUserInterface() override;
  TrayUserInterface(const TrayUserInterface&) = delete;
  TrayUserInterface& operator=(const TrayUserInterface&) = delete;

  void setMenuSource(std::weak_ptr<StatusMenuSource> source) override;
  void menuChanged() override;
  void statusChanged(const std::string& statusText) override;
  void setToolTip(const std::optional<std::string>& text) override;
  void setInUse(bool inUse) override;
  void presentVerificationCode(const VerificationCodePanelContent& content) override;
  void dismissVerificationCode() override;
  void showAlert(const std::string& message, const std::string& buttonTitle) override;

  // The status menu in a window of its own: how a desktop without a tray reaches it.
  void showStatusPanel();

  bool usesFallbackIcon() const { return usesFallbackIcon_; }
  QSystemTrayIcon& trayIcon() { return *trayIcon_; }
  QMenu& menu() { return *menu_; }
  // None before the first presentation.
  VerificationCodePanel* verificationCodePanel() { return panel_.get(); }
  StatusPanel* statusPanel() { return statusPanel_.get(); }

 private:
  void menuAboutToShow();
  void render();
  void renderStatusPanel();

  const log::Logger logger_{"App"};
  std::FILE* const output_;
  std::weak_ptr<StatusMenuSource> source_;
  bool usesFallbackIcon_ = false;
  QIcon normalIcon_;
  QIcon inUseIcon_;
  std::unique_ptr<QMenu> menu_;
  std::unique_ptr<QSystemTrayIcon> trayIcon_;  // refers to the menu: goes first
  std::unique_ptr<VerificationCodePanel> panel_;
  std::unique_ptr<StatusPanel> statusPanel_;
};

}  // namespace velmora
