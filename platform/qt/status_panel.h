#pragma once

#include "platform/status_user_interface.h"

#include <QWidget>

#include <vector>

class QVBoxLayout;

namespace velmora {

// The status menu as a normal window, for desktops without a tray: header lines as labels, entries
// as buttons, the choosers as buttons that open their submenu. Main thread.
class StatusPanel final : public QWidget {
 public:
  StatusPanel();

  // Replaces what the panel shows.
  void render(const std::vector<StatusMenuItem>& items);
  void present();

 private:
  QVBoxLayout* layout_;
  QWidget* entries_ = nullptr;
};

}  // namespace velmora
