#include "platform/qt/status_menu_renderer.h"

#include <QAction>
#include <QFont>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMetaObject>
#include <QPalette>
#include <QWidget>
#include <QWidgetAction>

namespace velmora {
namespace {

QString toQString(const std::string& text) { return QString::fromStdString(text); }

// A title line the size of the menu's header, in the standard text colour even though it cannot be
// chosen.
void addHeader(QMenu& menu, const StatusMenuItem& item) {
  auto* header = new QWidgetAction(&menu);
  auto* view = new QWidget;
  view->setFixedSize(kMenuHeaderWidth, kMenuHeaderHeight);
  auto* layout = new QHBoxLayout(view);
  layout->setContentsMargins(kMenuHeaderMargin, 0, kMenuHeaderMargin, 0);

  auto* label = new QLabel(view);
  QFont font = label->font();
  font.setPixelSize(kMenuHeaderFontSize);
  font.setWeight(QFont::DemiBold);
  label->setFont(font);
  const int textWidth = kMenuHeaderWidth - 2 * kMenuHeaderMargin;
  label->setText(QFontMetrics(font).elidedText(toQString(item.title), Qt::ElideRight, textWidth));
  QPalette palette = label->palette();
  palette.setColor(QPalette::Disabled, QPalette::WindowText, palette.color(QPalette::Active, QPalette::WindowText));
  label->setPalette(palette);
  layout->addWidget(label);

  header->setDefaultWidget(view);
  header->setText(toQString(item.title));
  header->setEnabled(false);
  menu.addAction(header);
}

QKeySequence shortcutFor(const std::string& keyEquivalent) {
  if (keyEquivalent.empty()) {
    return {};
  }
  return QKeySequence(QStringLiteral("Ctrl+") + toQString(keyEquivalent).toUpper());
}

void addEntries(QMenu& menu, QObject& callContext, const std::vector<StatusMenuItem>& items);

void addEntry(QMenu& menu, QObject& callContext, const StatusMenuItem& item) {
  if (item.hasSubmenu) {
    QMenu* submenu = menu.addMenu(toQString(item.title));
    submenu->setEnabled(item.enabled);
    addEntries(*submenu, callContext, item.submenu);
    return;
  }
  QAction* action = menu.addAction(toQString(item.title));
  // An entry without an action is a line of text, as on a menu that enables entries by their action.
  action->setEnabled(item.enabled && item.action != nullptr);
  if (item.checked) {
    action->setCheckable(true);
    action->setChecked(true);
  }
  if (const auto shortcut = shortcutFor(item.keyEquivalent); !shortcut.isEmpty()) {
    action->setShortcut(shortcut);
    action->setShortcutVisibleInContextMenu(true);
  }
  if (item.action) {
    QObject::connect(action, &QAction::triggered, &callContext, [&callContext, call = item.action] {
      QMetaObject::invokeMethod(&callContext, call, Qt::QueuedConnection);
    });
  }
}

void addEntries(QMenu& menu, QObject& callContext, const std::vector<StatusMenuItem>& items) {
  for (const auto& item : items) {
    if (item.hidden) {
      continue;
    }
    switch (item.kind) {
      case StatusMenuItem::Kind::header:
        addHeader(menu, item);
        break;
      case StatusMenuItem::Kind::separator:
        menu.addSeparator();
        break;
      case StatusMenuItem::Kind::item:
        addEntry(menu, callContext, item);
        break;
    }
  }
}

}  // namespace

void renderStatusMenu(QMenu& menu, const std::vector<StatusMenuItem>& items) {
  // clear() deletes the entries but not the submenus, which are children of the menu.
  for (QMenu* submenu : menu.findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly)) {
    submenu->hide();
    submenu->deleteLater();
  }
  menu.clear();
  addEntries(menu, menu, items);
}

}  // namespace velmora
