#include "platform/qt/status_panel.h"

#include "platform/qt/status_menu_renderer.h"

#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMetaObject>
#include <QPushButton>
#include <QVBoxLayout>

namespace velmora {
namespace {

constexpr int kPanelWidth = 380;  // logical pixels, about the menu's own width

QWidget* makeEntry(QWidget& parent, QObject& callContext, const StatusMenuItem& item) {
  const QString title = QString::fromStdString(item.title);
  switch (item.kind) {
    case StatusMenuItem::Kind::header: {
      auto* label = new QLabel(title, &parent);
      QFont font = label->font();
      font.setWeight(QFont::DemiBold);
      label->setFont(font);
      return label;
    }
    case StatusMenuItem::Kind::separator: {
      auto* line = new QFrame(&parent);
      line->setFrameShape(QFrame::HLine);
      return line;
    }
    case StatusMenuItem::Kind::item:
      break;
  }
  if (!item.hasSubmenu && !item.action) {
    auto* label = new QLabel(title, &parent);
    label->setEnabled(item.enabled);
    label->setWordWrap(true);
    return label;
  }
  auto* button = new QPushButton(title, &parent);
  button->setEnabled(item.enabled);
  if (item.hasSubmenu) {
    auto* menu = new QMenu(button);
    renderStatusMenu(*menu, item.submenu);
    button->setMenu(menu);
    return button;
  }
  button->setCheckable(item.checked);
  button->setChecked(item.checked);
  // Queued: the action may render the panel anew, which deletes this button.
  QObject::connect(button, &QPushButton::clicked, &callContext, [&callContext, call = item.action] {
    QMetaObject::invokeMethod(&callContext, call, Qt::QueuedConnection);
  });
  return button;
}

}  // namespace

StatusPanel::StatusPanel() : QWidget(nullptr, Qt::Window), layout_(new QVBoxLayout(this)) {
  setWindowTitle(QStringLiteral("Velmora status"));
  layout_->setSizeConstraint(QLayout::SetFixedSize);
}

void StatusPanel::render(const std::vector<StatusMenuItem>& items) {
  if (entries_ != nullptr) {
    entries_->hide();
    entries_->deleteLater();
  }
  entries_ = new QWidget(this);
  entries_->setMinimumWidth(kPanelWidth);
  auto* column = new QVBoxLayout(entries_);
  column->setContentsMargins(0, 0, 0, 0);
  for (const auto& item : items) {
    if (!item.hidden) {
      column->addWidget(makeEntry(*entries_, *this, item));
    }
  }
  layout_->addWidget(entries_);
  entries_->show();  // a child added to a shown window stays hidden until told
}

void StatusPanel::present() {
  show();
  raise();
  activateWindow();
}

}  // namespace velmora
