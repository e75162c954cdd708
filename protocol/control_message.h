#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "protocol/decoding_error.h"
#include "protocol/json.h"

namespace velmora {

// One input or stream request from the client; on the wire {"<case name>":{<inner keys>}}.
class ControlMessage {
 public:
  enum class MouseButton : std::uint8_t { left = 0, right = 1, middle = 2 };

  // Flags over a 32-bit value; bits without a name are carried unchanged.
  class KeyModifiers {
   public:
    static const KeyModifiers shift;
    static const KeyModifiers control;
    static const KeyModifiers option;
    static const KeyModifiers command;
    static const KeyModifiers capsLock;

    constexpr KeyModifiers() = default;
    constexpr explicit KeyModifiers(std::uint32_t rawValue) : rawValue_(rawValue) {}

    constexpr std::uint32_t rawValue() const { return rawValue_; }
    constexpr bool isEmpty() const { return rawValue_ == 0; }
    constexpr bool contains(KeyModifiers other) const { return (rawValue_ & other.rawValue_) == other.rawValue_; }
    constexpr KeyModifiers unionWith(KeyModifiers other) const { return KeyModifiers(rawValue_ | other.rawValue_); }
    constexpr KeyModifiers intersection(KeyModifiers other) const { return KeyModifiers(rawValue_ & other.rawValue_); }
    constexpr KeyModifiers subtracting(KeyModifiers other) const { return KeyModifiers(rawValue_ & ~other.rawValue_); }
    constexpr KeyModifiers operator|(KeyModifiers other) const { return unionWith(other); }
    constexpr KeyModifiers operator&(KeyModifiers other) const { return intersection(other); }
    constexpr KeyModifiers operator-(KeyModifiers other) const { return subtracting(other); }
    constexpr KeyModifiers& operator|=(KeyModifiers other) { return *this = unionWith(other); }
    constexpr KeyModifiers& operator-=(KeyModifiers other) { return *this = subtracting(other); }
    constexpr bool operator==(const KeyModifiers&) const = default;

   private:
    std::uint32_t rawValue_ = 0;
  };

  struct MouseMove {
    double x = 0;
    double y = 0;
    bool operator==(const MouseMove&) const = default;
  };
  struct MouseDown {
    double x = 0;
    double y = 0;
    MouseButton button = MouseButton::left;
    bool operator==(const MouseDown&) const = default;
  };
  struct MouseUp {
    double x = 0;
    double y = 0;
    MouseButton button = MouseButton::left;
    bool operator==(const MouseUp&) const = default;
  };
  struct MouseDrag {
    double x = 0;
    double y = 0;
    bool operator==(const MouseDrag&) const = default;
  };
  struct MouseMoveRelative {
    double deltaX = 0;
    double deltaY = 0;
    bool operator==(const MouseMoveRelative&) const = default;
  };
  struct MouseDragRelative {
    double deltaX = 0;
    double deltaY = 0;
    bool operator==(const MouseDragRelative&) const = default;
  };
  struct MouseDownAtCurrent {
    MouseButton button = MouseButton::left;
    bool operator==(const MouseDownAtCurrent&) const = default;
  };
  struct MouseUpAtCurrent {
    MouseButton button = MouseButton::left;
    bool operator==(const MouseUpAtCurrent&) const = default;
  };
  struct DoubleClickAtCurrent {
    bool operator==(const DoubleClickAtCurrent&) const = default;
  };
  struct Scroll {
    double deltaX = 0;
    double deltaY = 0;
    bool operator==(const Scroll&) const = default;
  };
  struct KeyDown {
    std::uint16_t keyCode = 0;
    KeyModifiers modifiers;
    bool operator==(const KeyDown&) const = default;
  };
  struct KeyUp {
    std::uint16_t keyCode = 0;
    KeyModifiers modifiers;
    bool operator==(const KeyUp&) const = default;
  };
  struct KeyTyped {
    std::string text;
    bool operator==(const KeyTyped&) const = default;
  };
  struct RequestKeyframe {
    bool operator==(const RequestKeyframe&) const = default;
  };
  struct ClipboardSync {
    std::string content;
    bool operator==(const ClipboardSync&) const = default;
  };
  struct DoubleClick {
    double x = 0;
    double y = 0;
    bool operator==(const DoubleClick&) const = default;
  };
  struct SwitchDisplay {
    std::uint32_t displayID = 0;
    bool operator==(const SwitchDisplay&) const = default;
  };
  struct SetMultiDisplay {
    bool enabled = false;
    bool operator==(const SetMultiDisplay&) const = default;
  };
  // An object with none of the known outer keys; not an error.
  struct Unknown {
    bool operator==(const Unknown&) const = default;
  };

  // In the order the decoder looks for the outer keys; `Unknown` last.
  using Value = std::variant<MouseMove, MouseDown, MouseUp, MouseDrag, MouseMoveRelative, MouseDragRelative,
                             MouseDownAtCurrent, MouseUpAtCurrent, DoubleClickAtCurrent, Scroll, KeyDown, KeyUp,
                             KeyTyped, RequestKeyframe, ClipboardSync, DoubleClick, SwitchDisplay, SetMultiDisplay,
                             Unknown>;

  ControlMessage() : value_(Unknown{}) {}
  template <class Case>
    requires std::is_constructible_v<Value, Case> && (!std::is_same_v<std::decay_t<Case>, ControlMessage>)
  ControlMessage(Case&& message) : value_(std::forward<Case>(message)) {}  // NOLINT(google-explicit-constructor)

  const Value& value() const { return value_; }
  // The payload of that case, or null for another case.
  template <class Case>
  const Case* get() const {
    return std::get_if<Case>(&value_);
  }
  bool isUnknown() const { return std::holds_alternative<Unknown>(value_); }
  std::string_view caseName() const;  // "mouseMove" ... "unknown"

  // `unknown` is written as an empty object, which reads back as `unknown`.
  Json toJson() const;
  // Throws DecodingError.
  static ControlMessage fromJson(const Json& json);

  bool operator==(const ControlMessage&) const = default;

 private:
  Value value_;
};

inline constexpr ControlMessage::KeyModifiers ControlMessage::KeyModifiers::shift{1};
inline constexpr ControlMessage::KeyModifiers ControlMessage::KeyModifiers::control{2};
inline constexpr ControlMessage::KeyModifiers ControlMessage::KeyModifiers::option{4};
inline constexpr ControlMessage::KeyModifiers ControlMessage::KeyModifiers::command{8};
inline constexpr ControlMessage::KeyModifiers ControlMessage::KeyModifiers::capsLock{16};

}  // namespace velmora
