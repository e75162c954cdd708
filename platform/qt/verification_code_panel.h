#pragma once

#include "platform/status_user_interface.h"

#include <QFont>
#include <QRect>
#include <QString>
#include <QWidget>

class QLabel;

namespace velmora {

// The window that shows the verification code, centred on the primary screen: on X11 frameless,
// above other windows and on every workspace; on Wayland a normal window. Sizes are logical pixels, the unit the window's own
// 460 x 360 is given in (the fonts too: typographic points would make the text a third larger than
// the layout was made for).
class VerificationCodePanel final : public QWidget {
 public:
  static constexpr int kWidth = 460;
  static constexpr int kHeight = 360;

  VerificationCodePanel();

  // Replaces what the panel shows; the icon is fetched again too.
  void setContent(const VerificationCodePanelContent& content);
  // Centres the panel, shows it in front and asks for the keyboard focus; asks again shortly
  // after, for window managers that place a new window before they honour a raise.
  void present();

  // Where the code is drawn (global coordinates), so that tests can look for it on the screen.
  QRect codeBoxGlobalGeometry() const;
  QString shownCode() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  class CodeBox;

  QLabel* icon_;
  QLabel* title_;
  QLabel* message_;
  CodeBox* codeBox_;
};

}  // namespace velmora
