#pragma once

#include <linux/input-event-codes.h>

#include <cstdint>
#include <vector>

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

// The most wheel clicks one scroll carries either way, from the client's message to the desktop.
inline constexpr std::int32_t kMostScrollLines = 100;

// `wheel` limited to kMostScrollLines either way.
std::int32_t clampedScrollLines(std::int32_t wheel);

// A client's wheel value as clicks on a desktop axis, which grows down (or right) where the
// client's wheels grow up (or left); limited as clampedScrollLines.
std::int32_t axisSteps(std::int32_t wheel);

// The buttons a family pressed and has not released, so that none stays down when it goes: a
// button left down would drag on the host until someone clicked. Used on one thread.
class HeldButtons {
 public:
  void note(std::uint32_t button, bool down);
  // The held buttons, oldest first; none are held afterwards.
  std::vector<std::uint32_t> releaseAll();

 private:
  std::vector<std::uint32_t> held_;
};

}  // namespace velmora
