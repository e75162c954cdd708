#include "protocol/decoding_error.h"

#include <utility>

namespace velmora {

namespace {

std::string describe(DecodingError::Kind kind, const std::string& description, const CodingPath& codingPath) {
  std::string message(kindName(kind));
  if (!codingPath.empty()) {
    message += " at ";
    for (std::size_t index = 0; index < codingPath.size(); ++index) {
      if (index > 0) {
        message += '.';
      }
      message += codingPath[index];
    }
  }
  message += ": ";
  message += description;
  return message;
}

}  // namespace

DecodingError::DecodingError(Kind kind, std::string description, CodingPath codingPath)
    : kind_(kind),
      description_(std::move(description)),
      codingPath_(std::move(codingPath)),
      message_(describe(kind_, description_, codingPath_)) {}

std::string_view kindName(DecodingError::Kind kind) {
  switch (kind) {
    case DecodingError::Kind::dataCorrupted:
      return "dataCorrupted";
    case DecodingError::Kind::typeMismatch:
      return "typeMismatch";
    case DecodingError::Kind::keyNotFound:
      return "keyNotFound";
    case DecodingError::Kind::valueNotFound:
      return "valueNotFound";
  }
  return "unknown";
}

}  // namespace velmora
