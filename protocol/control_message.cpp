#include "protocol/control_message.h"

#include <array>
#include <utility>

#include "protocol/json_object_reader.h"

namespace velmora {

namespace {

using Message = ControlMessage;

// Indexed like ControlMessage::Value; the decoder takes the first of these keys that is present.
constexpr std::array<std::string_view, std::variant_size_v<Message::Value>> caseNames = {
    "mouseMove",     "mouseDown",       "mouseUp",       "mouseDrag",   "mouseMoveRelative", "mouseDragRelative",
    "mouseDownAtCurrent", "mouseUpAtCurrent", "doubleClickAtCurrent", "scroll", "keyDown", "keyUp",
    "keyTyped",      "requestKeyframe", "clipboardSync", "doubleClick", "switchDisplay",    "setMultiDisplay",
    "unknown"};
constexpr std::size_t outerKeyCount = caseNames.size() - 1;

Message::MouseButton readButton(const JsonObjectReader& reader) {
  const auto value = reader.integer<std::int64_t>("button");
  if (value < 0 || value > 2) {
    reader.fail(DecodingError::Kind::dataCorrupted,
                "Cannot initialize MouseButton from invalid Int value " + std::to_string(value), "button");
  }
  return static_cast<Message::MouseButton>(value);
}

Message::KeyModifiers readModifiers(const JsonObjectReader& reader) {
  return Message::KeyModifiers(reader.integer<std::uint32_t>("modifiers"));
}

Message::MouseMove read(const JsonObjectReader& reader, std::type_identity<Message::MouseMove>) {
  return {reader.number("x"), reader.number("y")};
}
Message::MouseDown read(const JsonObjectReader& reader, std::type_identity<Message::MouseDown>) {
  return {reader.number("x"), reader.number("y"), readButton(reader)};
}
Message::MouseUp read(const JsonObjectReader& reader, std::type_identity<Message::MouseUp>) {
  return {reader.number("x"), reader.number("y"), readButton(reader)};
}
Message::MouseDrag read(const JsonObjectReader& reader, std::type_identity<Message::MouseDrag>) {
  return {reader.number("x"), reader.number("y")};
}
Message::MouseMoveRelative read(const JsonObjectReader& reader, std::type_identity<Message::MouseMoveRelative>) {
  return {reader.number("deltaX"), reader.number("deltaY")};
}
Message::MouseDragRelative read(const JsonObjectReader& reader, std::type_identity<Message::MouseDragRelative>) {
  return {reader.number("deltaX"), reader.number("deltaY")};
}
Message::MouseDownAtCurrent read(const JsonObjectReader& reader, std::type_identity<Message::MouseDownAtCurrent>) {
  return {readButton(reader)};
}
Message::MouseUpAtCurrent read(const JsonObjectReader& reader, std::type_identity<Message::MouseUpAtCurrent>) {
  return {readButton(reader)};
}
Message::Scroll read(const JsonObjectReader& reader, std::type_identity<Message::Scroll>) {
  return {reader.number("deltaX"), reader.number("deltaY")};
}
Message::KeyDown read(const JsonObjectReader& reader, std::type_identity<Message::KeyDown>) {
  return {reader.integer<std::uint16_t>("keyCode"), readModifiers(reader)};
}
Message::KeyUp read(const JsonObjectReader& reader, std::type_identity<Message::KeyUp>) {
  return {reader.integer<std::uint16_t>("keyCode"), readModifiers(reader)};
}
Message::KeyTyped read(const JsonObjectReader& reader, std::type_identity<Message::KeyTyped>) {
  return {reader.string("text")};
}
Message::ClipboardSync read(const JsonObjectReader& reader, std::type_identity<Message::ClipboardSync>) {
  return {reader.string("content")};
}
Message::DoubleClick read(const JsonObjectReader& reader, std::type_identity<Message::DoubleClick>) {
  return {reader.number("x"), reader.number("y")};
}
Message::SwitchDisplay read(const JsonObjectReader& reader, std::type_identity<Message::SwitchDisplay>) {
  return {reader.integer<std::uint32_t>("displayID")};
}
Message::SetMultiDisplay read(const JsonObjectReader& reader, std::type_identity<Message::SetMultiDisplay>) {
  return {reader.boolean("enabled")};
}

template <class Case>
constexpr bool readsNoValue = std::is_same_v<Case, Message::DoubleClickAtCurrent> ||
                              std::is_same_v<Case, Message::RequestKeyframe> || std::is_same_v<Case, Message::Unknown>;

template <class Case>
Message readCase(const JsonObjectReader& message, std::string_view key) {
  if constexpr (readsNoValue<Case>) {
    return Case{};
  } else {
    return read(message.object(key), std::type_identity<Case>{});
  }
}

template <std::size_t... Index>
Message readCaseAt(std::size_t caseIndex, const JsonObjectReader& message, std::index_sequence<Index...>) {
  Message result;
  ((caseIndex == Index ? void(result = readCase<std::variant_alternative_t<Index, Message::Value>>(
                                  message, caseNames[Index]))
                       : void()),
   ...);
  return result;
}

Json buttonJson(Message::MouseButton button) {
  return static_cast<int>(button);
}

Json write(const Message::MouseMove& move) {
  return {{"x", jsonNumber(move.x)}, {"y", jsonNumber(move.y)}};
}
Json write(const Message::MouseDown& down) {
  return {{"x", jsonNumber(down.x)}, {"y", jsonNumber(down.y)}, {"button", buttonJson(down.button)}};
}
Json write(const Message::MouseUp& up) {
  return {{"x", jsonNumber(up.x)}, {"y", jsonNumber(up.y)}, {"button", buttonJson(up.button)}};
}
Json write(const Message::MouseDrag& drag) {
  return {{"x", jsonNumber(drag.x)}, {"y", jsonNumber(drag.y)}};
}
Json write(const Message::MouseMoveRelative& move) {
  return {{"deltaX", jsonNumber(move.deltaX)}, {"deltaY", jsonNumber(move.deltaY)}};
}
Json write(const Message::MouseDragRelative& drag) {
  return {{"deltaX", jsonNumber(drag.deltaX)}, {"deltaY", jsonNumber(drag.deltaY)}};
}
Json write(const Message::MouseDownAtCurrent& down) {
  return {{"button", buttonJson(down.button)}};
}
Json write(const Message::MouseUpAtCurrent& up) {
  return {{"button", buttonJson(up.button)}};
}
Json write(const Message::Scroll& scroll) {
  return {{"deltaX", jsonNumber(scroll.deltaX)}, {"deltaY", jsonNumber(scroll.deltaY)}};
}
Json write(const Message::KeyDown& key) {
  return {{"keyCode", key.keyCode}, {"modifiers", key.modifiers.rawValue()}};
}
Json write(const Message::KeyUp& key) {
  return {{"keyCode", key.keyCode}, {"modifiers", key.modifiers.rawValue()}};
}
Json write(const Message::KeyTyped& typed) {
  return {{"text", typed.text}};
}
Json write(const Message::ClipboardSync& sync) {
  return {{"content", sync.content}};
}
Json write(const Message::DoubleClick& click) {
  return {{"x", jsonNumber(click.x)}, {"y", jsonNumber(click.y)}};
}
Json write(const Message::SwitchDisplay& request) {
  return {{"displayID", request.displayID}};
}
Json write(const Message::SetMultiDisplay& request) {
  return {{"enabled", request.enabled}};
}
Json write(const Message::DoubleClickAtCurrent&) {
  return Json::object();
}
Json write(const Message::RequestKeyframe&) {
  return Json::object();
}

}  // namespace

std::string_view ControlMessage::caseName() const {
  return caseNames[value_.index()];
}

Json ControlMessage::toJson() const {
  Json json = Json::object();
  if (!isUnknown()) {
    json[std::string(caseName())] = std::visit(
        [](const auto& payload) -> Json {
          if constexpr (std::is_same_v<std::decay_t<decltype(payload)>, Unknown>) {
            return Json::object();
          } else {
            return write(payload);
          }
        },
        value_);
  }
  return json;
}

ControlMessage ControlMessage::fromJson(const Json& json) {
  const JsonObjectReader message(json, {});
  for (std::size_t caseIndex = 0; caseIndex < outerKeyCount; ++caseIndex) {
    if (message.contains(caseNames[caseIndex])) {
      return readCaseAt(caseIndex, message, std::make_index_sequence<std::variant_size_v<Value>>{});
    }
  }
  return Unknown{};
}

}  // namespace velmora
