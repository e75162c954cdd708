#include "protocol/message_coder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "protocol/control_message.h"
#include "protocol/handshake_message.h"

namespace velmora {
namespace {

std::vector<std::uint8_t> framed(const std::string& jsonText) { return detail::frameJsonText(jsonText, 0xFFFFFFFFu); }

using Message = ControlMessage;
using Modifiers = ControlMessage::KeyModifiers;

std::string jsonOf(const auto& message) {
  const std::vector<std::uint8_t> frame = MessageCoder::shared().encode(message);
  return std::string(frame.begin() + 4, frame.end());
}

Message decode(const std::string& text) { return Message::fromJson(Json::parse(text)); }
HandshakeMessage decodeHandshake(const std::string& text) { return HandshakeMessage::fromJson(Json::parse(text)); }

TEST(MessageCoderTest, FrameIsBigEndianLengthThenCompactJsonAndDecodesOnlyWhenComplete) {
  const std::string json = R"({"requestKeyframe":{}})";
  const ControlMessage message{ControlMessage::RequestKeyframe{}};
  const std::vector<std::uint8_t> frame = MessageCoder::shared().encode(message);

  EXPECT_EQ(frame, framed(json));
  EXPECT_EQ(std::vector<std::uint8_t>(frame.begin(), frame.begin() + 4), (std::vector<std::uint8_t>{0, 0, 0, 22}));
  const auto decoded = MessageCoder::shared().decode<ControlMessage>(frame);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->message, message);
  EXPECT_EQ(decoded->frameLength, frame.size());
  for (std::size_t length = 0; length < frame.size(); ++length) {
    EXPECT_FALSE(MessageCoder::shared().decode<ControlMessage>(std::span(frame).first(length))) << length;
  }
}

TEST(MessageCoderTest, LimitIsCheckedFromThePrefixAlone) {
  EXPECT_FALSE(MessageCoder::shared().decode<ControlMessage>(std::vector<std::uint8_t>{0, 0x10, 0, 0}));  // 1 MiB
  for (const std::vector<std::uint8_t>& prefix : {std::vector<std::uint8_t>{0, 0x10, 0, 1}, {0xFF, 0xFF, 0xFF, 0xFF}}) {
    EXPECT_THROW(MessageCoder::shared().decode<ControlMessage>(prefix), DecodingError) << int(prefix[3]);
  }
}

TEST(MessageCoderTest, PayloadsThatAreNotJsonFailWithTypedError) {
  const std::vector<std::string> payloads = {
      "",                                          // a zero length prefix
      "{",                                         // truncated
      "{\"mouseMove\":{\"x\":1,\"y\":1}} trailing",  // garbage after the value
      "{\"keyTyped\":{\"text\":\"\xff\"}}",        // invalid UTF-8
      std::string(100000, '[') + std::string(100000, ']'),
  };
  for (const std::string& payload : payloads) {
    try {
      MessageCoder::shared().decode<ControlMessage>(framed(payload));
      ADD_FAILURE() << "decoded " << payload.substr(0, 40);
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted) << payload.substr(0, 40);
    }
  }
}

TEST(MessageCoderTest, WhatAPrefixOrJsonCannotHoldIsAnEncodingError) {
  EXPECT_THROW(detail::frameJsonText("12345", 4), EncodingError);
  EXPECT_THROW(MessageCoder::shared().encode(ControlMessage(ControlMessage::MouseMove{std::nan(""), 0})),
               EncodingError);
  EXPECT_THROW(MessageCoder::shared().encode(ControlMessage(ControlMessage::KeyTyped{"\xC3"})), EncodingError);
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

TEST(ControlMessageTest, FirstKnownKeyInFixedOrderDecidesAndPresenceOnlyCasesIgnoreTheirValue) {
  EXPECT_EQ(decode(R"({"keyUp":{"keyCode":1,"modifiers":0},"mouseMove":{"x":1,"y":2,"pressure":0.5}})"),
            Message(Message::MouseMove{1, 2}));
  // The first key present decides, even when its value is bad and a later key would decode.
  EXPECT_THROW(decode(R"({"keyDown":{"keyCode":1,"modifiers":0},"mouseMove":{"x":1}})"), DecodingError);
  EXPECT_EQ(decode(R"({"requestKeyframe":[1,2]})"), Message(Message::RequestKeyframe{}));
}

TEST(ControlMessageTest, InnerValuesAreCheckedAgainstTheirType) {
  const char* failures[] = {
      R"({"mouseDown":{"x":1,"y":2,"button":3}})",
      R"({"mouseUpAtCurrent":{"button":1.0}})",
      R"({"keyDown":{"keyCode":70000,"modifiers":0}})",
      R"({"keyDown":{"keyCode":1,"modifiers":4294967296}})",
      R"({"switchDisplay":{"displayID":-1}})",
      R"({"setMultiDisplay":{"enabled":1}})",
      R"({"keyTyped":{"text":5}})",
      R"({"mouseMove":{"x":"1","y":2}})",
      R"([{"mouseMove":{"x":1,"y":2}}])",
  };
  for (const char* json : failures) {
    EXPECT_THROW(decode(json), DecodingError) << json;
  }
}

const ServerHello fullServerHello{
    .protocolVersion = 2,
    .hostName = "Studio",
    .screenWidth = 3008,
    .screenHeight = 1692,
    .videoPort = 5921,
    .frameRate = 60,
    .videoHost = "192.168.1.5",
    .displays = std::vector<DisplayInfo>{{69733382, "Built-in Retina Display", 1512, 982, true},
                                         {2, std::nullopt, 1920, 1080, false}},
};

TEST(HandshakeMessageTest, WritesEveryShapeByteForByte) {
  const struct {
    HandshakeMessage message;
    std::string json;
  } cases[] = {
      {ClientHello{2, 1920, 1080, 60, "Vision", "id-1", "0123"},
       R"({"clientHello":{"_0":{"protocolVersion":2,"preferredWidth":1920,"preferredHeight":1080,)"
       R"("preferredFrameRate":60,"deviceName":"Vision","clientIdentifier":"id-1","pairingCode":"0123"}}})"},
      {ServerHello{2, "Mac", 1920, 1080, 5921, 60, std::nullopt, std::nullopt},
       R"({"serverHello":{"_0":{"protocolVersion":2,"hostName":"Mac","screenWidth":1920,"screenHeight":1080,)"
       R"("videoPort":5921,"frameRate":60}}})"},
      {fullServerHello,
       R"({"serverHello":{"_0":{"protocolVersion":2,"hostName":"Studio","screenWidth":3008,"screenHeight":1692,)"
       R"("videoPort":5921,"frameRate":60,"videoHost":"192.168.1.5","displays":[)"
       R"({"id":69733382,"name":"Built-in Retina Display","width":1512,"height":982,"isMain":true},)"
       R"({"id":2,"width":1920,"height":1080,"isMain":false}]}}})"},
      {ServerRejected{RejectionReason::invalidPairingCode},
       R"({"serverRejected":{"_0":{"reason":"invalidPairingCode"}}})"},
  };
  for (const auto& [message, json] : cases) {
    EXPECT_EQ(jsonOf(message), json);
    EXPECT_EQ(decodeHandshake(json), message) << json;
  }
}

TEST(HandshakeMessageTest, NullOptionalKeysAndUnknownKeysAreIgnored) {
  EXPECT_EQ(decodeHandshake(R"({"clientHello":{"_0":{"clientIdentifier":null,"extra":[1,{}],"protocolVersion":2,)"
                   R"("preferredWidth":0,"preferredHeight":1080,"preferredFrameRate":60,"deviceName":"V",)"
                   R"("pairingCode":"1234"}},"other":1})"),
            HandshakeMessage(ClientHello{2, 0, 1080, 60, "V", std::nullopt, "1234"}));
}

TEST(HandshakeMessageTest, BadRecordsFailWithKindAndPath) {
  const std::string hello = R"({"clientHello":{"_0":{"protocolVersion":2,"preferredWidth":0,"preferredHeight":0,)"
                            R"("preferredFrameRate":60,"deviceName":"V",)";
  const std::string server = R"({"serverHello":{"_0":{"protocolVersion":2,"hostName":"M","screenWidth":1,)"
                             R"("screenHeight":1,"frameRate":60,)";
  const struct {
    std::string json;
    DecodingError::Kind kind;
    CodingPath path;
  } cases[] = {
      {R"({"clientHello":{"_0":{}},"serverHello":{"_0":{}}})", DecodingError::Kind::typeMismatch, {}},
      {R"({"hello":{"_0":{}}})", DecodingError::Kind::typeMismatch, {}},
      {hello + R"("clientIdentifier":"x"}}})", DecodingError::Kind::keyNotFound, {"clientHello", "_0"}},
      {hello + R"("pairingCode":1234}}})", DecodingError::Kind::typeMismatch, {"clientHello", "_0", "pairingCode"}},
      {server + R"("videoPort":70000}}})", DecodingError::Kind::dataCorrupted, {"serverHello", "_0", "videoPort"}},
      {server + R"("videoPort":5921,"displays":[{"id":-1,"width":1,"height":1,"isMain":true}]}}})",
       DecodingError::Kind::dataCorrupted, {"serverHello", "_0", "displays", "Index 0", "id"}},
      {R"({"clientHello":{"_0":{"protocolVersion":1,"preferredWidth":9223372036854775808}}})",
       DecodingError::Kind::dataCorrupted, {"clientHello", "_0", "preferredWidth"}},
      {R"({"serverRejected":{"_0":{"reason":"busy"}}})", DecodingError::Kind::dataCorrupted,
       {"serverRejected", "_0", "reason"}},
  };
  for (const auto& [json, kind, path] : cases) {
    try {
      decodeHandshake(json);
      ADD_FAILURE() << "decoded " << json;
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), kind) << json << "\n" << error.what();
      EXPECT_EQ(error.codingPath(), path) << json << "\n" << error.what();
    }
  }
}

}  // namespace
}  // namespace velmora
