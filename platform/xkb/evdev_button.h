#pragma once

#include <linux/input-event-codes.h>

#include <cstdint>

#include "platform/input_backend.h"

namespace velmora {

// The kernel's code of a pointer button, which the Wayland, GNOME and portal input all send.
inline std::int32_t evdevButton(PointerButton button) {
  switch (button) {
    case PointerButton::right:
      return BTN_RIGHT;
    case PointerButton::center:
      return BTN_MIDDLE;
    case PointerButton::left:
      break;
  }
  return BTN_LEFT;
}

}  // namespace velmora
