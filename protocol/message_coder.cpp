#include "protocol/message_coder.h"

#include <algorithm>
#include <limits>

namespace velmora {

namespace {

// Deeper documents are refused before parsing, so a hostile frame of a million '[' cannot make
// the parser build a million nested values.
constexpr std::size_t maxNestingDepth = 512;

bool nestsTooDeeply(std::span<const std::uint8_t> text) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const std::uint8_t byte : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (byte == '\\') {
        escaped = true;
      } else if (byte == '"') {
        inString = false;
      }
    } else if (byte == '"') {
      inString = true;
    } else if (byte == '[' || byte == '{') {
      if (++depth > maxNestingDepth) {
        return true;
      }
    } else if ((byte == ']' || byte == '}') && depth > 0) {
      --depth;
    }
  }
  return false;
}

}  // namespace

const MessageCoder& MessageCoder::shared() {
  static const MessageCoder coder;
  return coder;
}

std::vector<std::uint8_t> MessageCoder::frame(const Json& json) const {
  std::string jsonText;
  try {
    // Compact; non-ASCII stays raw UTF-8, and only quote, backslash and control characters are escaped.
    jsonText = json.dump();
  } catch (const Json::exception& error) {
    throw EncodingError(std::string("Unable to encode the value as JSON: ") + error.what());
  }
  return detail::frameJsonText(jsonText, std::numeric_limits<std::uint32_t>::max());
}

std::optional<std::size_t> MessageCoder::completeFrameLength(std::span<const std::uint8_t> bytes) const {
  if (bytes.size() < prefixSize) {
    return std::nullopt;
  }
  const std::uint32_t payloadLength = static_cast<std::uint32_t>(bytes[0]) << 24 |
                                      static_cast<std::uint32_t>(bytes[1]) << 16 |
                                      static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
  if (payloadLength > maxFramePayloadSize) {
    throw DecodingError(DecodingError::Kind::dataCorrupted,
                        "Frame payload size " + std::to_string(payloadLength) + " exceeds maximum " +
                            std::to_string(maxFramePayloadSize));
  }
  if (bytes.size() - prefixSize < payloadLength) {
    return std::nullopt;
  }
  return prefixSize + payloadLength;
}

Json MessageCoder::parsePayload(std::span<const std::uint8_t> payload) const {
  if (nestsTooDeeply(payload)) {
    throw DecodingError(DecodingError::Kind::dataCorrupted,
                        "The given data was not valid JSON: nested deeper than " + std::to_string(maxNestingDepth) +
                            " levels.");
  }
  try {
    return Json::parse(payload.begin(), payload.end());
  } catch (const Json::parse_error& error) {
    throw DecodingError(DecodingError::Kind::dataCorrupted,
                        "The given data was not valid JSON (error at byte " + std::to_string(error.byte) + ").");
  } catch (const Json::exception& error) {
    // Numbers too large for a double land here.
    throw DecodingError(DecodingError::Kind::dataCorrupted,
                        "The given data was not valid JSON (" + std::string(error.what()) + ").");
  }
}

namespace detail {

std::vector<std::uint8_t> frameJsonText(const std::string& jsonText, std::uint64_t maxPayloadLength) {
  maxPayloadLength = std::min<std::uint64_t>(maxPayloadLength, std::numeric_limits<std::uint32_t>::max());
  if (jsonText.size() > maxPayloadLength) {
    throw EncodingError("JSON text of " + std::to_string(jsonText.size()) +
                        " bytes does not fit a frame (at most " + std::to_string(maxPayloadLength) + ")");
  }
  const auto length = static_cast<std::uint32_t>(jsonText.size());
  std::vector<std::uint8_t> frame;
  frame.reserve(4 + jsonText.size());
  frame.push_back(static_cast<std::uint8_t>(length >> 24));
  frame.push_back(static_cast<std::uint8_t>(length >> 16));
  frame.push_back(static_cast<std::uint8_t>(length >> 8));
  frame.push_back(static_cast<std::uint8_t>(length));
  frame.insert(frame.end(), jsonText.begin(), jsonText.end());
  return frame;
}

}  // namespace detail

}  // namespace velmora
