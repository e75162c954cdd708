#include "protocol/message_coder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "protocol/control_message.h"
#include "protocol/handshake_message.h"

namespace velmora {
namespace {

std::vector<std::uint8_t> framed(const std::string& jsonText) {
  return detail::frameJsonText(jsonText, 0xFFFFFFFFu);
}

std::vector<std::uint8_t> prefixOnly(std::uint32_t length) {
  return {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
}

TEST(MessageCoderTest, FrameIsBigEndianLengthThenCompactJsonAndDecodesOnlyWhenComplete) {
  const std::string json = R"({"clientHello":{"_0":{"protocolVersion":2,"preferredWidth":1920,"preferredHeight":1080,)"
                           R"("preferredFrameRate":60,"deviceName":"Vision","pairingCode":"1234"}}})";
  const HandshakeMessage hello = ClientHello{2, 1920, 1080, 60, "Vision", std::nullopt, "1234"};
  const std::vector<std::uint8_t> frame = MessageCoder::shared().encode(hello);

  std::vector<std::uint8_t> expected = prefixOnly(static_cast<std::uint32_t>(json.size()));
  expected.insert(expected.end(), json.begin(), json.end());
  EXPECT_EQ(frame, expected);
  const auto decoded = MessageCoder::shared().decode<HandshakeMessage>(frame);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->message, hello);
  EXPECT_EQ(decoded->frameLength, frame.size());
  for (std::size_t length = 0; length < frame.size(); ++length) {
    EXPECT_FALSE(MessageCoder::shared().decode<HandshakeMessage>(std::span(frame).first(length))) << length;
  }
}

TEST(MessageCoderTest, LimitIsCheckedFromThePrefixAlone) {
  EXPECT_FALSE(MessageCoder::shared().decode<ControlMessage>(prefixOnly(1048576)));

  try {
    MessageCoder::shared().decode<ControlMessage>(prefixOnly(1048577));
    FAIL() << "no error";
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(error.description(), "Frame payload size 1048577 exceeds maximum 1048576");
    EXPECT_TRUE(error.codingPath().empty());
  }
  EXPECT_THROW(MessageCoder::shared().decode<ControlMessage>(prefixOnly(0xFFFFFFFFu)), DecodingError);
}

TEST(MessageCoderTest, PayloadsThatAreNotJsonFailWithTypedError) {
  const std::vector<std::string> payloads = {
      "",                                          // a zero length prefix
      "{",                                         // truncated
      "{\"mouseMove\":{\"x\":1,\"y\":1}} trailing",  // garbage after the value
      "{\"keyTyped\":{\"text\":\"\xff\"}}",        // invalid UTF-8
      "{\"keyTyped\":{\"text\":\"\\ud800\"}}",     // lone surrogate
      "{\"mouseMove\":{\"x\":1e999,\"y\":0}}",     // number beyond a double
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

TEST(MessageCoderTest, EncodeRefusesTextsLongerThanThePrefixCanSay) {
  EXPECT_EQ(detail::frameJsonText("1234", 4).size(), 8u);
  EXPECT_THROW(detail::frameJsonText("12345", 4), EncodingError);
  // A limit above 32 bits is clamped, so a wrong prefix can never be written.
  EXPECT_EQ(detail::frameJsonText("1", 1ull << 40).size(), 5u);
}

TEST(MessageCoderTest, ValuesJsonCannotHoldAreEncodingErrors) {
  EXPECT_THROW(MessageCoder::shared().encode(ControlMessage(ControlMessage::MouseMove{std::nan(""), 0})),
               EncodingError);
  EXPECT_THROW(MessageCoder::shared().encode(ControlMessage(ControlMessage::Scroll{0, INFINITY})), EncodingError);
  EXPECT_THROW(MessageCoder::shared().encode(ControlMessage(ControlMessage::KeyTyped{"\xC3"})), EncodingError);
}

}  // namespace
}  // namespace velmora
