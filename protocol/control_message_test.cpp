#include "protocol/control_message.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/message_coder.h"

namespace velmora {
namespace {

using Message = ControlMessage;
using Modifiers = ControlMessage::KeyModifiers;

std::string jsonOf(const Message& message) {
  const std::vector<std::uint8_t> frame = MessageCoder::shared().encode(message);
  return std::string(frame.begin() + 4, frame.end());
}

Message decode(const std::string& jsonText) {
  return Message::fromJson(Json::parse(jsonText));
}

TEST(ControlMessageTest, WritesEveryCaseByteForByteAndReadsItBack) {
  const struct {
    Message message;
    std::string json;
  } cases[] = {
      {Message::MouseMove{100, 200.5}, R"({"mouseMove":{"x":100,"y":200.5}})"},
      {Message::MouseDown{-1.25, 0, Message::MouseButton::right}, R"({"mouseDown":{"x":-1.25,"y":0,"button":1}})"},
      {Message::MouseUp{3, 4, Message::MouseButton::middle}, R"({"mouseUp":{"x":3,"y":4,"button":2}})"},
      {Message::MouseDrag{0.1, 1e20}, R"({"mouseDrag":{"x":0.1,"y":1e+20}})"},
      {Message::MouseMoveRelative{-5, 2.5}, R"({"mouseMoveRelative":{"deltaX":-5,"deltaY":2.5}})"},
      {Message::MouseDragRelative{1, -1}, R"({"mouseDragRelative":{"deltaX":1,"deltaY":-1}})"},
      {Message::MouseDownAtCurrent{Message::MouseButton::left}, R"({"mouseDownAtCurrent":{"button":0}})"},
      {Message::MouseUpAtCurrent{Message::MouseButton::right}, R"({"mouseUpAtCurrent":{"button":1}})"},
      {Message::DoubleClickAtCurrent{}, R"({"doubleClickAtCurrent":{}})"},
      {Message::Scroll{0, -120.75}, R"({"scroll":{"deltaX":0,"deltaY":-120.75}})"},
      {Message::KeyDown{65535, Modifiers(0xFFFFFFFF)}, R"({"keyDown":{"keyCode":65535,"modifiers":4294967295}})"},
      {Message::KeyUp{0, Modifiers::shift}, R"({"keyUp":{"keyCode":0,"modifiers":1}})"},
      {Message::KeyTyped{"é/€\n\t\x01\"\\"}, R"({"keyTyped":{"text":"é/€\n\t\u0001\"\\"}})"},
      {Message::RequestKeyframe{}, R"({"requestKeyframe":{}})"},
      {Message::ClipboardSync{""}, R"({"clipboardSync":{"content":""}})"},
      {Message::DoubleClick{7, 8}, R"({"doubleClick":{"x":7,"y":8}})"},
      {Message::SwitchDisplay{4294967295u}, R"({"switchDisplay":{"displayID":4294967295}})"},
      {Message::SetMultiDisplay{true}, R"({"setMultiDisplay":{"enabled":true}})"},
      {Message::Unknown{}, "{}"},
  };
  static_assert(std::size(cases) == std::variant_size_v<Message::Value>);
  for (const auto& [message, json] : cases) {
    EXPECT_EQ(jsonOf(message), json);
    EXPECT_EQ(decode(json), message) << json;
  }
}

TEST(ControlMessageTest, FirstOuterKeyInFixedOrderWins) {
  EXPECT_EQ(decode(R"({"keyUp":{"keyCode":1,"modifiers":0},"mouseMove":{"x":1,"y":2}})"),
            Message(Message::MouseMove{1, 2}));
  EXPECT_EQ(decode(R"({"scroll":{"deltaX":1,"deltaY":2},"mouseDownAtCurrent":{"button":2}})"),
            Message(Message::MouseDownAtCurrent{Message::MouseButton::middle}));
  // The first key present decides, even when its value is bad and a later key would decode.
  EXPECT_THROW(decode(R"({"keyDown":{"keyCode":1,"modifiers":0},"mouseMove":{"x":1}})"), DecodingError);
  EXPECT_TRUE(decode(R"({"mouseTeleport":{"x":1}})").isUnknown());
  EXPECT_EQ(decode(R"({"mouseMove":{"x":1,"y":2.5e1,"pressure":0.5}})"), Message(Message::MouseMove{1, 25}));
}

TEST(ControlMessageTest, PresenceOnlyCasesIgnoreTheirValue) {
  for (const char* value : {"null", "true", "{}", "[1,2]", R"("x")"}) {
    EXPECT_EQ(decode(std::string(R"({"requestKeyframe":)") + value + "}"), Message(Message::RequestKeyframe{}));
    EXPECT_EQ(decode(std::string(R"({"doubleClickAtCurrent":)") + value + "}"),
              Message(Message::DoubleClickAtCurrent{}));
  }
}

TEST(ControlMessageTest, InnerValuesAreCheckedAgainstTheirType) {
  const char* failures[] = {
      R"({"mouseDown":{"x":1,"y":2,"button":3}})",
      R"({"mouseUpAtCurrent":{"button":1.0}})",
      R"({"keyDown":{"keyCode":70000,"modifiers":0}})",
      R"({"keyUp":{"keyCode":12.5,"modifiers":0}})",
      R"({"keyDown":{"keyCode":1,"modifiers":4294967296}})",
      R"({"keyDown":{"keyCode":1}})",
      R"({"switchDisplay":{"displayID":-1}})",
      R"({"setMultiDisplay":{"enabled":1}})",
      R"({"keyTyped":{"text":5}})",
      R"({"clipboardSync":{}})",
      R"({"mouseMove":{"x":"1","y":2}})",
      R"({"mouseMove":null})",
      R"([{"mouseMove":{"x":1,"y":2}}])",
      R"("mouseMove")",
  };
  for (const char* json : failures) {
    EXPECT_THROW(decode(json), DecodingError) << json;
  }
}

}  // namespace
}  // namespace velmora
