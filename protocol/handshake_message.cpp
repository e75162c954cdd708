#include "protocol/handshake_message.h"

#include <array>
#include <utility>

namespace velmora {

namespace {

constexpr std::array<std::string_view, 3> caseNames = {"clientHello", "serverHello", "serverRejected"};
constexpr std::string_view recordKey = "_0";

}  // namespace

Json ClientHello::toJson() const {
  Json json = Json::object();
  json["protocolVersion"] = protocolVersion;
  json["preferredWidth"] = preferredWidth;
  json["preferredHeight"] = preferredHeight;
  json["preferredFrameRate"] = preferredFrameRate;
  json["deviceName"] = deviceName;
  if (clientIdentifier) {
    json["clientIdentifier"] = *clientIdentifier;
  }
  json["pairingCode"] = pairingCode;
  return json;
}

ClientHello ClientHello::fromJson(const JsonObjectReader& reader) {
  return ClientHello{
      .protocolVersion = reader.integer<std::uint32_t>("protocolVersion"),
      .preferredWidth = reader.integer<std::int64_t>("preferredWidth"),
      .preferredHeight = reader.integer<std::int64_t>("preferredHeight"),
      .preferredFrameRate = reader.integer<std::int64_t>("preferredFrameRate"),
      .deviceName = reader.string("deviceName"),
      .clientIdentifier = reader.optionalString("clientIdentifier"),
      .pairingCode = reader.string("pairingCode"),
  };
}

Json DisplayInfo::toJson() const {
  Json json = Json::object();
  json["id"] = id;
  if (name) {
    json["name"] = *name;
  }
  json["width"] = width;
  json["height"] = height;
  json["isMain"] = isMain;
  return json;
}

DisplayInfo DisplayInfo::fromJson(const JsonObjectReader& reader) {
  return DisplayInfo{
      .id = reader.integer<std::uint32_t>("id"),
      .name = reader.optionalString("name"),
      .width = reader.integer<std::int64_t>("width"),
      .height = reader.integer<std::int64_t>("height"),
      .isMain = reader.boolean("isMain"),
  };
}

Json ServerHello::toJson() const {
  Json json = Json::object();
  json["protocolVersion"] = protocolVersion;
  json["hostName"] = hostName;
  json["screenWidth"] = screenWidth;
  json["screenHeight"] = screenHeight;
  json["videoPort"] = videoPort;
  json["frameRate"] = frameRate;
  if (videoHost) {
    json["videoHost"] = *videoHost;
  }
  if (displays) {
    Json list = Json::array();
    for (const DisplayInfo& display : *displays) {
      list.push_back(display.toJson());
    }
    json["displays"] = std::move(list);
  }
  return json;
}

ServerHello ServerHello::fromJson(const JsonObjectReader& reader) {
  ServerHello hello{
      .protocolVersion = reader.integer<std::uint32_t>("protocolVersion"),
      .hostName = reader.string("hostName"),
      .screenWidth = reader.integer<std::int64_t>("screenWidth"),
      .screenHeight = reader.integer<std::int64_t>("screenHeight"),
      .videoPort = reader.integer<std::uint16_t>("videoPort"),
      .frameRate = reader.integer<std::int64_t>("frameRate"),
      .videoHost = reader.optionalString("videoHost"),
      .displays = std::nullopt,
  };
  if (auto displayReaders = reader.optionalObjectArray("displays")) {
    hello.displays.emplace();
    hello.displays->reserve(displayReaders->size());
    for (const JsonObjectReader& displayReader : *displayReaders) {
      hello.displays->push_back(DisplayInfo::fromJson(displayReader));
    }
  }
  return hello;
}

std::string_view toString(RejectionReason reason) {
  switch (reason) {
    case RejectionReason::invalidPairingCode:
      return "invalidPairingCode";
    case RejectionReason::versionMismatch:
      return "versionMismatch";
  }
  return "";
}

Json ServerRejected::toJson() const {
  Json json = Json::object();
  json["reason"] = toString(reason);
  return json;
}

ServerRejected ServerRejected::fromJson(const JsonObjectReader& reader) {
  const std::string text = reader.string("reason");
  for (const RejectionReason reason : {RejectionReason::invalidPairingCode, RejectionReason::versionMismatch}) {
    if (text == toString(reason)) {
      return ServerRejected{reason};
    }
  }
  reader.fail(DecodingError::Kind::dataCorrupted,
              "Cannot initialize RejectionReason from invalid String value " + text, "reason");
}

std::string_view HandshakeMessage::caseName() const {
  return caseNames[value_.index()];
}

Json HandshakeMessage::toJson() const {
  Json wrapper = Json::object();
  wrapper[std::string(recordKey)] = std::visit([](const auto& record) { return record.toJson(); }, value_);
  Json json = Json::object();
  json[std::string(caseName())] = std::move(wrapper);
  return json;
}

HandshakeMessage HandshakeMessage::fromJson(const Json& json) {
  const JsonObjectReader message(json, {});
  std::size_t caseIndex = caseNames.size();
  std::size_t casesFound = 0;
  for (std::size_t index = 0; index < caseNames.size(); ++index) {
    if (message.contains(caseNames[index])) {
      caseIndex = index;
      ++casesFound;
    }
  }
  if (casesFound != 1) {
    message.fail(DecodingError::Kind::typeMismatch, "Invalid number of keys found, expected one.");
  }
  const JsonObjectReader record = message.object(caseNames[caseIndex]).object(recordKey);
  switch (caseIndex) {
    case 0:
      return ClientHello::fromJson(record);
    case 1:
      return ServerHello::fromJson(record);
    default:
      return ServerRejected::fromJson(record);
  }
}

}  // namespace velmora
