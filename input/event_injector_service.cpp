#include "input/event_injector_service.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>
#include <variant>

#include "input/typed_text.h"
#include "platform/desktop/pointer_policy.h"

namespace velmora {
namespace {

using MouseButton = ControlMessage::MouseButton;
using KeyModifiers = ControlMessage::KeyModifiers;

struct ButtonEvents {
  PointerEventType down;
  PointerEventType up;
  PointerButton number;
};

ButtonEvents buttonEvents(MouseButton button) {
  switch (button) {
    case MouseButton::right:
      return {PointerEventType::rightMouseDown, PointerEventType::rightMouseUp, PointerButton::right};
    case MouseButton::middle:
      return {PointerEventType::otherMouseDown, PointerEventType::otherMouseUp, PointerButton::center};
    case MouseButton::left:
      break;
  }
  return {PointerEventType::leftMouseDown, PointerEventType::leftMouseUp, PointerButton::left};
}

std::uint64_t eventFlags(KeyModifiers modifiers) {
  constexpr std::pair<KeyModifiers, std::uint64_t> kFlagBits[] = {
      {KeyModifiers::shift, EventFlags::shift},       {KeyModifiers::control, EventFlags::control},
      {KeyModifiers::option, EventFlags::alternate},  {KeyModifiers::command, EventFlags::command},
      {KeyModifiers::capsLock, EventFlags::alphaShift},
  };
  std::uint64_t flags = 0;
  for (const auto& [modifier, bit] : kFlagBits) {
    if (modifiers.contains(modifier)) {
      flags |= bit;
    }
  }
  return flags;
}

// From the range's low end to one point short of its high end; an empty range gives its low end.
double clampToRange(double value, double low, double length) {
  return std::max(low, std::min(value, low + length - 1));
}

GlobalPoint clampToRect(GlobalPoint point, const Rect& bounds) {
  return {clampToRange(point.x, bounds.x, bounds.width), clampToRange(point.y, bounds.y, bounds.height)};
}

bool isEmpty(const Rect& rect) { return !(rect.width > 0 && rect.height > 0); }

Rect unionOf(const Rect& a, const Rect& b) {
  const double minX = std::min(a.x, b.x);
  const double minY = std::min(a.y, b.y);
  const double maxX = std::max(a.x + a.width, b.x + b.width);
  const double maxY = std::max(a.y + a.height, b.y + b.height);
  return Rect{minX, minY, maxX - minX, maxY - minY};
}

// Halves away from zero; nothing when the result is not a 64-bit integer (NaN and infinities included).
std::optional<std::int64_t> roundedToInt64(double value) {
  const double rounded = std::round(value);
  if (!(rounded >= -0x1p63 && rounded < 0x1p63)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(rounded);
}

// The fraction dropped; nothing when the result is not a 32-bit integer.
std::optional<std::int32_t> truncatedToInt32(double value) {
  const double truncated = std::trunc(value);
  if (!(truncated >= std::numeric_limits<std::int32_t>::min() && truncated <= std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(truncated);
}

}  // namespace

EventInjectorService::EventInjectorService(Dependencies dependencies)
    : backend_(std::move(dependencies.backend)),
      timing_(dependencies.timing),
      monotonicNow_(std::move(dependencies.monotonicNow)),
      hasEventSource_(dependencies.hasEventSource),
      permissionLossNotices_(1, timing_.permissionLossNoticeInterval) {}

std::optional<std::uint32_t> EventInjectorService::targetDisplayID() const {
  std::lock_guard lock(displayIDLock_);
  return displayID_;
}

void EventInjectorService::setTargetDisplayID(std::optional<std::uint32_t> displayID) {
  std::lock_guard lock(displayIDLock_);
  displayID_ = displayID;
}

void EventInjectorService::handle(const ControlMessage& message) {
  if (!passesPermissionGate()) {
    return;
  }
  act(message);
}

bool EventInjectorService::passesPermissionGate() {
  if (backend_->isProcessTrusted()) {
    return true;
  }
  if (permissionLossNotices_.admit(monotonicNow_())) {
    logger_.error("Inbound event arrived but Accessibility permission is revoked — notifying UI");
    if (onAccessibilityPermissionLost) {
      onAccessibilityPermissionLost();
    }
  }
  return false;
}

void EventInjectorService::act(const ControlMessage& message) {
  const std::string_view caseName = message.caseName();
  std::visit(
      [&](const auto& payload) {
        using Case = std::decay_t<decltype(payload)>;
        using M = ControlMessage;
        if constexpr (std::is_same_v<Case, M::MouseMove> || std::is_same_v<Case, M::MouseDrag>) {
          const auto type = std::is_same_v<Case, M::MouseMove> ? PointerEventType::mouseMoved
                                                                : PointerEventType::leftMouseDragged;
          if (const auto point = mappedAndClamped(payload.x, payload.y, caseName)) {
            postPointer(type, *point);
          }
        } else if constexpr (std::is_same_v<Case, M::MouseDown> || std::is_same_v<Case, M::MouseUp>) {
          if (const auto point = mappedAndClamped(payload.x, payload.y, caseName)) {
            postButton(payload.button, std::is_same_v<Case, M::MouseDown>, *point);
          }
        } else if constexpr (std::is_same_v<Case, M::MouseDownAtCurrent> || std::is_same_v<Case, M::MouseUpAtCurrent>) {
          postButton(payload.button, std::is_same_v<Case, M::MouseDownAtCurrent>, currentPointerLocation());
        } else if constexpr (std::is_same_v<Case, M::DoubleClick>) {
          if (const auto point = mappedAndClamped(payload.x, payload.y, caseName)) {
            postDoubleClick(*point);
          }
        } else if constexpr (std::is_same_v<Case, M::DoubleClickAtCurrent>) {
          postDoubleClick(currentPointerLocation());
        } else if constexpr (std::is_same_v<Case, M::MouseMoveRelative>) {
          moveRelative(payload.deltaX, payload.deltaY, PointerEventType::mouseMoved, caseName);
        } else if constexpr (std::is_same_v<Case, M::MouseDragRelative>) {
          moveRelative(payload.deltaX, payload.deltaY, PointerEventType::leftMouseDragged, caseName);
        } else if constexpr (std::is_same_v<Case, M::Scroll>) {
          scroll(payload.deltaX, payload.deltaY);
        } else if constexpr (std::is_same_v<Case, M::KeyDown> || std::is_same_v<Case, M::KeyUp>) {
          postKey(payload.keyCode, payload.modifiers, std::is_same_v<Case, M::KeyDown>);
        } else if constexpr (std::is_same_v<Case, M::KeyTyped>) {
          typeText(payload.text);
        } else if constexpr (std::is_same_v<Case, M::ClipboardSync>) {
          syncClipboard(payload.content);
        }
        // switchDisplay, setMultiDisplay, requestKeyframe and unknown are routed elsewhere.
      },
      message.value());
}

std::optional<GlobalPoint> EventInjectorService::mappedAndClamped(double x, double y, std::string_view caseName) const {
  // Infinities clamp to an edge like any far-off point; NaN has no place to go.
  if (std::isnan(x) || std::isnan(y)) {
    logger_.error("Ignoring {}: coordinate is not a number", caseName);
    return std::nullopt;
  }
  const auto targetDisplay = targetDisplayID();
  GlobalPoint point{x, y};
  Rect bounds;
  if (targetDisplay) {
    bounds = backend_->displayBounds(*targetDisplay);
    point = {x + bounds.x, y + bounds.y};
  } else {
    bounds = backend_->displayBounds(backend_->mainDisplayID());
  }
  return clampToRect(point, bounds);
}

GlobalPoint EventInjectorService::currentPointerLocation() const {
  return backend_->pointerLocation().value_or(GlobalPoint{});
}

Rect EventInjectorService::relativeMoveBounds() const {
  std::optional<Rect> united;
  for (const auto displayID : backend_->activeDisplayIDs()) {
    const Rect bounds = backend_->displayBounds(displayID);
    if (!isEmpty(bounds)) {
      united = united ? unionOf(*united, bounds) : bounds;
    }
  }
  return united ? *united : backend_->displayBounds(backend_->mainDisplayID());
}

void EventInjectorService::postPointer(PointerEventType type, GlobalPoint location, std::optional<std::uint64_t> flags) {
  PointerEvent event;
  event.type = type;
  event.location = location;
  event.button = PointerButton::left;
  event.flags = flags;
  backend_->postPointerEvent(event);
}

void EventInjectorService::postButton(MouseButton button, bool down, GlobalPoint location) {
  const auto events = buttonEvents(button);
  PointerEvent event;
  event.type = down ? events.down : events.up;
  event.location = location;
  event.button = events.number;
  event.flags = 0;
  backend_->postPointerEvent(event);
}

void EventInjectorService::postDoubleClick(GlobalPoint location) {
  for (const std::int64_t clickState : {1, 2}) {
    for (const auto type : {PointerEventType::leftMouseDown, PointerEventType::leftMouseUp}) {
      PointerEvent event;
      event.type = type;
      event.location = location;
      event.button = PointerButton::left;
      event.clickState = clickState;
      backend_->postPointerEvent(event);
    }
  }
}

void EventInjectorService::moveRelative(double deltaX, double deltaY, PointerEventType type, std::string_view caseName) {
  const auto roundedX = roundedToInt64(deltaX);
  const auto roundedY = roundedToInt64(deltaY);
  if (!roundedX || !roundedY) {
    logger_.error("Ignoring {}: delta does not fit a 64-bit integer (deltaX={} deltaY={})", caseName, deltaX, deltaY);
    return;
  }
  const GlobalPoint location = currentPointerLocation();
  PointerEvent event;
  event.type = type;
  event.location = clampToRect({location.x + deltaX, location.y + deltaY}, relativeMoveBounds());
  event.button = PointerButton::left;
  event.deltaX = *roundedX;
  event.deltaY = *roundedY;
  backend_->postPointerEvent(event);
}

void EventInjectorService::scroll(double deltaX, double deltaY) {
  const auto wholeX = truncatedToInt32(deltaX);
  const auto wholeY = truncatedToInt32(deltaY);
  if (!wholeX || !wholeY) {
    logger_.error("Ignoring scroll: delta does not fit a 32-bit integer (deltaX={} deltaY={})", deltaX, deltaY);
    return;
  }
  ScrollWheelEvent event;
  event.units = ScrollUnit::line;
  event.wheel1 = clampedScrollLines(*wholeY);
  event.wheel2 = clampedScrollLines(*wholeX);
  event.wheel3 = 0;
  backend_->postScrollWheelEvent(event);
}

void EventInjectorService::postKey(std::uint16_t keyCode, KeyModifiers modifiers, bool down) {
  const std::uint64_t flags = eventFlags(modifiers);
  const std::string_view eventSource = hasEventSource_ ? "valid" : "nil";
  if (down) {
    logger_.info("keyDown entry: keyCode={} modifiers={} flags=0x{:X} eventSource={}", keyCode, modifiers.rawValue(),
                 flags, eventSource);
  } else {
    logger_.info("keyUp entry: keyCode={} modifiers={} flags=0x{:X} eventSource={}", keyCode, modifiers.rawValue(),
                 flags, eventSource);
  }
  if (keyCode > kMaximumKeyCode) {
    logger_.error("Ignoring invalid keyCode {}", keyCode);
    return;
  }
  if (!backend_->postKeyboardEvent(KeyboardEvent{keyCode, down, flags})) {
    if (down) {
      logger_.error("keyDown: CGEvent creation returned nil — no post performed (keyCode={})", keyCode);
    } else {
      logger_.error("keyUp: CGEvent creation returned nil — no post performed (keyCode={})", keyCode);
    }
    return;
  }
  if (down) {
    logger_.info("keyDown posted: keyCode={} flags=0x{:X}", keyCode, flags);
  } else {
    logger_.info("keyUp posted: keyCode={} flags=0x{:X}", keyCode, flags);
  }
}

void EventInjectorService::typeText(const std::string& text) {
  if (text.empty()) {
    return;
  }
  const auto repaired = TypedText::repairedUtf8(text);
  if (repaired) {
    logger_.notice("keyTyped text is not valid UTF-8; invalid bytes replaced with U+FFFD");
  }
  const std::string_view validText = repaired ? std::string_view(*repaired) : std::string_view(text);
  for (const auto chunk : TypedText::graphemeClusterChunks(validText, kTypedTextChunkCharacters)) {
    backend_->postUnicodeString(chunk);
  }
}

void EventInjectorService::syncClipboard(const std::string& content) {
  const auto rejectIfTooLarge = [this](std::size_t size) {
    if (size <= kClipboardSyncByteLimit) {
      return false;
    }
    logger_.error("Clipboard sync rejected: UTF-8 size {} exceeds limit {}", size, kClipboardSyncByteLimit);
    return true;
  };
  if (rejectIfTooLarge(content.size())) {
    return;
  }
  auto repaired = TypedText::repairedUtf8(content);
  if (!repaired) {
    backend_->setClipboardText(content);
    return;
  }
  logger_.notice("clipboardSync content is not valid UTF-8; invalid bytes replaced with U+FFFD");
  // Each replaced byte grows by two, so the repaired text may pass the limit.
  if (rejectIfTooLarge(repaired->size())) {
    return;
  }
  backend_->setClipboardText(std::move(*repaired));
}

}  // namespace velmora
