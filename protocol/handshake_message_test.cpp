#include "protocol/handshake_message.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/message_coder.h"

namespace velmora {
namespace {

std::string jsonOf(const HandshakeMessage& message) {
  const std::vector<std::uint8_t> frame = MessageCoder::shared().encode(message);
  return std::string(frame.begin() + 4, frame.end());
}

HandshakeMessage decode(const std::string& jsonText) {
  return HandshakeMessage::fromJson(Json::parse(jsonText));
}

DecodingError decodeError(const std::string& jsonText) {
  try {
    decode(jsonText);
  } catch (const DecodingError& error) {
    return error;
  }
  ADD_FAILURE() << "decoded " << jsonText;
  return DecodingError(DecodingError::Kind::dataCorrupted, "none");
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
      {ClientHello{4294967295u, INT64_MIN, INT64_MAX, 30, "Ünïcode \"quoted\"\n", std::nullopt, ""},
       R"({"clientHello":{"_0":{"protocolVersion":4294967295,"preferredWidth":-9223372036854775808,)"
       R"("preferredHeight":9223372036854775807,"preferredFrameRate":30,"deviceName":"Ünïcode \"quoted\"\n","pairingCode":""}}})"},
      {ServerHello{2, "Mac", 1920, 1080, 5921, 60, std::nullopt, std::nullopt},
       R"({"serverHello":{"_0":{"protocolVersion":2,"hostName":"Mac","screenWidth":1920,"screenHeight":1080,)"
       R"("videoPort":5921,"frameRate":60}}})"},
      {fullServerHello,
       R"({"serverHello":{"_0":{"protocolVersion":2,"hostName":"Studio","screenWidth":3008,"screenHeight":1692,)"
       R"("videoPort":5921,"frameRate":60,"videoHost":"192.168.1.5","displays":[)"
       R"({"id":69733382,"name":"Built-in Retina Display","width":1512,"height":982,"isMain":true},)"
       R"({"id":2,"width":1920,"height":1080,"isMain":false}]}}})"},
      {ServerRejected{RejectionReason::invalidPairingCode}, R"({"serverRejected":{"_0":{"reason":"invalidPairingCode"}}})"},
  };
  for (const auto& [message, json] : cases) {
    EXPECT_EQ(jsonOf(message), json);
    EXPECT_EQ(decode(json), message) << json;
  }
}

TEST(HandshakeMessageTest, MissingAndNullOptionalKeysReadAsNothing) {
  const char* base = R"("protocolVersion":2,"preferredWidth":0,"preferredHeight":1080,"preferredFrameRate":60,)"
                     R"("deviceName":"Vision","pairingCode":"1234")";
  const HandshakeMessage expected = ClientHello{2, 0, 1080, 60, "Vision", std::nullopt, "1234"};

  EXPECT_EQ(decode(std::string(R"({"clientHello":{"_0":{)") + base + "}}}"), expected);
  EXPECT_EQ(decode(std::string(R"({"clientHello":{"_0":{"clientIdentifier":null,)") + base + "}}}"), expected);
  EXPECT_EQ(decode(std::string(R"({"clientHello":{"_0":{"extra":[1,{}],)") + base + R"(}},"other":true})"),
            expected);
}

TEST(HandshakeMessageTest, CaseKeyCountMustBeExactlyOne) {
  for (const char* json : {R"({"clientHello":{"_0":{}},"serverHello":{"_0":{}}})", R"({"hello":{"_0":{}}})", "{}",
                           R"({"clientHello":1,"serverHello":2,"serverRejected":3})"}) {
    const DecodingError error = decodeError(json);
    EXPECT_EQ(error.kind(), DecodingError::Kind::typeMismatch) << json;
    EXPECT_EQ(error.description(), "Invalid number of keys found, expected one.") << json;
    EXPECT_TRUE(error.codingPath().empty());
  }
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
      {hello + R"("clientIdentifier":"x"}}})", DecodingError::Kind::keyNotFound, {"clientHello", "_0"}},
      {hello + R"("pairingCode":null}}})", DecodingError::Kind::valueNotFound, {"clientHello", "_0", "pairingCode"}},
      {hello + R"("pairingCode":1234}}})", DecodingError::Kind::typeMismatch, {"clientHello", "_0", "pairingCode"}},
      {server + R"("videoPort":70000}}})", DecodingError::Kind::dataCorrupted, {"serverHello", "_0", "videoPort"}},
      {server + R"("videoPort":5921,"displays":[{"id":-1,"width":1,"height":1,"isMain":true}]}}})",
       DecodingError::Kind::dataCorrupted, {"serverHello", "_0", "displays", "Index 0", "id"}},
      {server + R"("videoPort":5921,"displays":[{"id":1,"width":1,"height":1,"isMain":1}]}}})",
       DecodingError::Kind::typeMismatch, {"serverHello", "_0", "displays", "Index 0", "isMain"}},
      {R"({"serverHello":{"_0":{"protocolVersion":4294967296}}})", DecodingError::Kind::dataCorrupted,
       {"serverHello", "_0", "protocolVersion"}},
      {R"({"clientHello":{"_0":{"protocolVersion":1,"preferredWidth":9223372036854775808}}})",
       DecodingError::Kind::dataCorrupted, {"clientHello", "_0", "preferredWidth"}},
      {R"({"serverRejected":{"_0":{"reason":"busy"}}})", DecodingError::Kind::dataCorrupted,
       {"serverRejected", "_0", "reason"}},
      {R"({"serverRejected":{"reason":"versionMismatch"}})", DecodingError::Kind::keyNotFound, {"serverRejected"}},
      {R"([{"serverRejected":{"_0":{"reason":"versionMismatch"}}}])", DecodingError::Kind::typeMismatch, {}},
  };
  for (const auto& [json, kind, path] : cases) {
    const DecodingError error = decodeError(json);
    EXPECT_EQ(error.kind(), kind) << json << "\n" << error.what();
    EXPECT_EQ(error.codingPath(), path) << json << "\n" << error.what();
  }
}

}  // namespace
}  // namespace velmora
