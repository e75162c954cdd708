#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

#include <string>

namespace velmora {

inline constexpr int kMenuBarIconSize = 18;  // logical pixels

// The tray icon: a template image (only its alpha counts) from `path`, tinted with `tint` so that
// it follows the desktop's text colour; the drawn fallback when the file is missing or unreadable.
QIcon loadMenuBarIcon(const std::string& path, const QColor& tint, bool* usedFallback = nullptr);
// A display symbol, for when no icon file could be used.
QIcon drawnMenuBarIcon(const QColor& tint);
// `icon` with a filled dot in its lower right corner, in `tint`: the computer is in use.
QIcon inUseMenuBarIcon(const QIcon& icon, const QColor& tint);
// The application's icon for the panel, `size` logical pixels square: the application's window
// icon when it has one, else a drawn one.
QPixmap applicationIconPixmap(int size, qreal devicePixelRatio);

}  // namespace velmora
