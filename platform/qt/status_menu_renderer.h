#pragma once

#include "platform/status_user_interface.h"

#include <vector>

class QMenu;

namespace velmora {

// Fills a QMenu from the controller's menu model, replacing whatever it held. Chosen entries call
// their action once the menu has closed, from the event loop: an action that changes the model
// (and so re-renders the menu) never deletes the QAction that is still delivering its signal.
void renderStatusMenu(QMenu& menu, const std::vector<StatusMenuItem>& items);

// The header entry's size and inner margin (logical pixels).
inline constexpr int kMenuHeaderWidth = 360;
inline constexpr int kMenuHeaderHeight = 30;
inline constexpr int kMenuHeaderMargin = 18;
inline constexpr int kMenuHeaderFontSize = 14;

}  // namespace velmora
