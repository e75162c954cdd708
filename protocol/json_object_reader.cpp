#include "protocol/json_object_reader.h"

#include <cmath>
#include <utility>

namespace velmora {

namespace {

std::string_view jsonTypeDescription(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "a dictionary";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "bool";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return "number";
    default:
      return "an unsupported value";
  }
}

}  // namespace

JsonObjectReader::JsonObjectReader(const Json& value, CodingPath codingPath)
    : object_(value), codingPath_(std::move(codingPath)) {
  if (!value.is_object()) {
    fail(DecodingError::Kind::typeMismatch,
         "Expected to decode a dictionary but found " + std::string(jsonTypeDescription(value)) + " instead.");
  }
}

bool JsonObjectReader::contains(std::string_view key) const {
  return object_.find(key) != object_.end();
}

const Json& JsonObjectReader::required(std::string_view key, std::string_view expectedType) const {
  const auto member = object_.find(key);
  if (member == object_.end()) {
    fail(DecodingError::Kind::keyNotFound, "No value associated with key \"" + std::string(key) + "\".");
  }
  if (member->is_null()) {
    fail(DecodingError::Kind::valueNotFound, "Expected " + std::string(expectedType) + " value but found null instead.",
         key);
  }
  return *member;
}

const Json* JsonObjectReader::optional(std::string_view key) const {
  const auto member = object_.find(key);
  if (member == object_.end() || member->is_null()) {
    return nullptr;
  }
  return &*member;
}

double JsonObjectReader::number(std::string_view key) const {
  const Json& value = required(key, "Double");
  if (!value.is_number()) {
    failTypeMismatch(value, "Double", key);
  }
  const auto number = value.get<double>();
  if (!std::isfinite(number)) {
    fail(DecodingError::Kind::dataCorrupted, "Parsed JSON number <" + value.dump() + "> does not fit in Double.", key);
  }
  return number;
}

bool JsonObjectReader::boolean(std::string_view key) const {
  const Json& value = required(key, "Bool");
  if (!value.is_boolean()) {
    failTypeMismatch(value, "Bool", key);
  }
  return value.get<bool>();
}

std::string JsonObjectReader::string(std::string_view key) const {
  const Json& value = required(key, "String");
  if (!value.is_string()) {
    failTypeMismatch(value, "String", key);
  }
  return value.get<std::string>();
}

std::optional<std::string> JsonObjectReader::optionalString(std::string_view key) const {
  const Json* value = optional(key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (!value->is_string()) {
    failTypeMismatch(*value, "String", key);
  }
  return value->get<std::string>();
}

JsonObjectReader JsonObjectReader::object(std::string_view key) const {
  return JsonObjectReader(required(key, "a dictionary"), pathTo(key));
}

std::optional<std::vector<JsonObjectReader>> JsonObjectReader::optionalObjectArray(std::string_view key) const {
  const Json* value = optional(key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (!value->is_array()) {
    failTypeMismatch(*value, "an array", key);
  }
  std::vector<JsonObjectReader> elements;
  elements.reserve(value->size());
  CodingPath elementPath = pathTo(key);
  elementPath.emplace_back();
  for (std::size_t index = 0; index < value->size(); ++index) {
    elementPath.back() = "Index " + std::to_string(index);
    elements.emplace_back((*value)[index], elementPath);
  }
  return elements;
}

void JsonObjectReader::fail(DecodingError::Kind kind, std::string description) const {
  throw DecodingError(kind, std::move(description), codingPath_);
}

void JsonObjectReader::fail(DecodingError::Kind kind, std::string description, std::string_view key) const {
  throw DecodingError(kind, std::move(description), pathTo(key));
}

void JsonObjectReader::failTypeMismatch(const Json& value, std::string_view expectedType, std::string_view key) const {
  fail(DecodingError::Kind::typeMismatch,
       "Expected to decode " + std::string(expectedType) + " but found " + std::string(jsonTypeDescription(value)) +
           " instead.",
       key);
}

CodingPath JsonObjectReader::pathTo(std::string_view key) const {
  CodingPath path = codingPath_;
  path.emplace_back(key);
  return path;
}

}  // namespace velmora
