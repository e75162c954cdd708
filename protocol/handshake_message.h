#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/json.h"
#include "protocol/json_object_reader.h"

namespace velmora {

struct ClientHello {
  std::uint32_t protocolVersion = 0;
  std::int64_t preferredWidth = 0;
  std::int64_t preferredHeight = 0;
  std::int64_t preferredFrameRate = 0;
  std::string deviceName;
  std::optional<std::string> clientIdentifier;
  std::string pairingCode;

  Json toJson() const;
  static ClientHello fromJson(const JsonObjectReader& reader);
  bool operator==(const ClientHello&) const = default;
};

struct DisplayInfo {
  std::uint32_t id = 0;
  std::optional<std::string> name;
  std::int64_t width = 0;
  std::int64_t height = 0;
  bool isMain = false;

  Json toJson() const;
  static DisplayInfo fromJson(const JsonObjectReader& reader);
  bool operator==(const DisplayInfo&) const = default;
};

struct ServerHello {
  std::uint32_t protocolVersion = 0;
  std::string hostName;
  std::int64_t screenWidth = 0;
  std::int64_t screenHeight = 0;
  std::uint16_t videoPort = 0;
  std::int64_t frameRate = 0;
  std::optional<std::string> videoHost;
  std::optional<std::vector<DisplayInfo>> displays;

  Json toJson() const;
  static ServerHello fromJson(const JsonObjectReader& reader);
  bool operator==(const ServerHello&) const = default;
};

enum class RejectionReason { invalidPairingCode, versionMismatch };

std::string_view toString(RejectionReason reason);

struct ServerRejected {
  RejectionReason reason = RejectionReason::invalidPairingCode;

  Json toJson() const;
  static ServerRejected fromJson(const JsonObjectReader& reader);
  bool operator==(const ServerRejected&) const = default;
};

// One handshake message; on the wire {"<case name>":{"_0":<record>}}.
class HandshakeMessage {
 public:
  using Value = std::variant<ClientHello, ServerHello, ServerRejected>;

  HandshakeMessage(ClientHello hello) : value_(std::move(hello)) {}  // NOLINT(google-explicit-constructor)
  HandshakeMessage(ServerHello hello) : value_(std::move(hello)) {}  // NOLINT(google-explicit-constructor)
  HandshakeMessage(ServerRejected rejected) : value_(rejected) {}    // NOLINT(google-explicit-constructor)

  const Value& value() const { return value_; }
  // The record of that case, or null for another case.
  template <class Record>
  const Record* get() const {
    return std::get_if<Record>(&value_);
  }
  std::string_view caseName() const;

  Json toJson() const;
  // Throws DecodingError.
  static HandshakeMessage fromJson(const Json& json);

  bool operator==(const HandshakeMessage&) const = default;

 private:
  Value value_;
};

}  // namespace velmora
