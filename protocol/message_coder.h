#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/decoding_error.h"
#include "protocol/json.h"

namespace velmora {

// A message that travels in one control-channel frame.
template <class Message>
concept WireMessage = requires(const Message& message, const Json& json) {
  { message.toJson() } -> std::same_as<Json>;
  { Message::fromJson(json) } -> std::same_as<Message>;
};

template <class Message>
struct DecodedMessage {
  Message message;
  std::size_t frameLength;  // 4 prefix bytes + the payload
};

// Frames messages as a 4-byte big-endian length followed by the message's compact JSON text.
class MessageCoder {
 public:
  static constexpr std::uint32_t maxFramePayloadSize = 1048576;  // bytes a received frame may declare

  static const MessageCoder& shared();

  // Throws EncodingError when the value cannot be written.
  template <WireMessage Message>
  std::vector<std::uint8_t> encode(const Message& message) const {
    return frame(message.toJson());
  }

  // Nothing until `bytes` (starting at a frame boundary) hold a whole frame; consumes nothing.
  // Throws DecodingError for a declared length over the limit (as soon as the prefix is there)
  // and for a payload that is not the expected message.
  template <WireMessage Message>
  std::optional<DecodedMessage<Message>> decode(std::span<const std::uint8_t> bytes) const {
    const std::optional<std::size_t> frameLength = completeFrameLength(bytes);
    if (!frameLength) {
      return std::nullopt;
    }
    const Json json = parsePayload(bytes.subspan(prefixSize, *frameLength - prefixSize));
    return DecodedMessage<Message>{Message::fromJson(json), *frameLength};
  }

  // Prefix plus compact JSON text; throws EncodingError for a text that is not UTF-8 or longer than
  // the 32-bit prefix can say.
  std::vector<std::uint8_t> frame(const Json& json) const;

  // 4 + L once `bytes` hold the whole frame at their front, nothing before; throws DecodingError
  // for a declared length over the limit.
  std::optional<std::size_t> completeFrameLength(std::span<const std::uint8_t> bytes) const;

 private:
  static constexpr std::size_t prefixSize = 4;

  Json parsePayload(std::span<const std::uint8_t> payload) const;
};

namespace detail {
// `MessageCoder::frame` with the length limit as a parameter, so that tests need not build 4 GiB texts.
std::vector<std::uint8_t> frameJsonText(const std::string& jsonText, std::uint64_t maxPayloadLength);
}  // namespace detail

}  // namespace velmora
