#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/geometry.h"

namespace velmora {

// A point in global display coordinates: points, origin at the top-left corner of the main
// display, y growing downward.
struct GlobalPoint {
  double x = 0;
  double y = 0;

  bool operator==(const GlobalPoint&) const = default;
};

// The reference platform's published event-type values, kept so that recorded events and log
// lines read the same on every backend.
enum class PointerEventType : std::uint32_t {
  leftMouseDown = 1,
  leftMouseUp = 2,
  rightMouseDown = 3,
  rightMouseUp = 4,
  mouseMoved = 5,
  leftMouseDragged = 6,
  otherMouseDown = 25,
  otherMouseUp = 26,
};

enum class PointerButton : std::uint32_t { left = 0, right = 1, center = 2 };

// Modifier bits of an event's flags.
namespace EventFlags {
inline constexpr std::uint64_t alphaShift = 0x10000;  // caps lock
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t alternate = 0x80000;  // option
inline constexpr std::uint64_t command = 0x100000;
}  // namespace EventFlags

// True for a button press, false for a release, none for a move or a drag.
inline std::optional<bool> isButtonDown(PointerEventType type) {
  switch (type) {
    case PointerEventType::leftMouseDown:
    case PointerEventType::rightMouseDown:
    case PointerEventType::otherMouseDown:
      return true;
    case PointerEventType::leftMouseUp:
    case PointerEventType::rightMouseUp:
    case PointerEventType::otherMouseUp:
      return false;
    case PointerEventType::mouseMoved:
    case PointerEventType::leftMouseDragged:
      break;
  }
  return std::nullopt;
}

struct PointerEvent {
  PointerEventType type = PointerEventType::mouseMoved;
  GlobalPoint location;
  PointerButton button = PointerButton::left;
  // Replaces the modifier flags the event would otherwise carry (those held on the keyboard).
  std::optional<std::uint64_t> flags;
  // 1 for a single click, 2 for the second click of a double-click.
  std::optional<std::int64_t> clickState;
  // The distance of a relative move in points; the location already includes it.
  std::optional<std::int64_t> deltaX;
  std::optional<std::int64_t> deltaY;

  bool operator==(const PointerEvent&) const = default;
};

enum class ScrollUnit : std::uint32_t { pixel = 0, line = 1 };

// Positive wheel1 scrolls up and positive wheel2 scrolls left, as the client's deltas come.
struct ScrollWheelEvent {
  ScrollUnit units = ScrollUnit::line;
  std::int32_t wheel1 = 0;  // vertical
  std::int32_t wheel2 = 0;  // horizontal
  std::int32_t wheel3 = 0;

  bool operator==(const ScrollWheelEvent&) const = default;
};

// `virtualKey` is the client's macOS virtual key code (0 to 127); `flags` replaces the modifier
// state for this event only (EventFlags bits), so a backend presses modifiers that are not held
// and releases them afterwards.
struct KeyboardEvent {
  std::uint16_t virtualKey = 0;
  bool keyDown = true;
  std::uint64_t flags = 0;

  bool operator==(const KeyboardEvent&) const = default;
};

// Synthetic input, pointer and display geometry, the permission to post input, and the
// clipboard. Called on one thread at a time: the host injects on an input queue of its own.
class InputBackend {
 public:
  virtual ~InputBackend() = default;

  // Whether this process may post input. No Linux desktop asks its user about that.
  virtual bool isProcessTrusted() const = 0;

  // Nothing when the location cannot be read.
  virtual std::optional<GlobalPoint> pointerLocation() const = 0;
  // In global display coordinates; an empty rectangle at (0, 0) for an unknown display.
  virtual Rect displayBounds(std::uint32_t displayID) const = 0;
  virtual std::uint32_t mainDisplayID() const = 0;  // 0 when there is none
  virtual std::vector<std::uint32_t> activeDisplayIDs() const = 0;

  virtual void postPointerEvent(const PointerEvent& event) = 0;
  virtual void postScrollWheelEvent(const ScrollWheelEvent& event) = 0;
  // False when the event could not be made; nothing was posted then.
  virtual bool postKeyboardEvent(const KeyboardEvent& event) = 0;
  // Types `text` (valid UTF-8, whole grapheme clusters, at most a few dozen) without modifiers,
  // every character exactly as given: one key-down and key-up pair carrying the text where the
  // platform allows that, one character at a time otherwise.
  virtual void postUnicodeString(std::string_view text) = 0;

  // Replaces the clipboard's contents with `text` (valid UTF-8) as plain text.
  virtual void setClipboardText(std::string text) = 0;
};

}  // namespace velmora
