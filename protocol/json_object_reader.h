#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/decoding_error.h"
#include "protocol/json.h"

namespace velmora {

// Reads the members of one JSON object with the checks every message needs: required keys,
// exact JSON types, integers that fit their field, and a coding path in every error.
// Missing and null optional members read as nothing; members nobody asks for are ignored.
class JsonObjectReader {
 public:
  // Throws typeMismatch unless `value` is an object.
  JsonObjectReader(const Json& value, CodingPath codingPath);

  const CodingPath& codingPath() const { return codingPath_; }
  bool contains(std::string_view key) const;  // a member holding null counts as present

  template <class Integer>
  Integer integer(std::string_view key) const {
    return integerValue<Integer>(required(key, integerTypeName<Integer>()), key);
  }
  template <class Integer>
  std::optional<Integer> optionalInteger(std::string_view key) const {
    const Json* value = optional(key);
    return value == nullptr ? std::nullopt : std::optional<Integer>(integerValue<Integer>(*value, key));
  }
  double number(std::string_view key) const;
  bool boolean(std::string_view key) const;
  std::string string(std::string_view key) const;
  std::optional<std::string> optionalString(std::string_view key) const;
  JsonObjectReader object(std::string_view key) const;
  // An array of objects, or nothing when the member is missing or null.
  std::optional<std::vector<JsonObjectReader>> optionalObjectArray(std::string_view key) const;

  [[noreturn]] void fail(DecodingError::Kind kind, std::string description) const;
  [[noreturn]] void fail(DecodingError::Kind kind, std::string description, std::string_view key) const;

 private:
  const Json& required(std::string_view key, std::string_view expectedType) const;
  const Json* optional(std::string_view key) const;
  CodingPath pathTo(std::string_view key) const;

  // The range check is done on the full 64-bit value, so 70000 never narrows into a 16-bit field.
  template <class Integer>
  Integer integerValue(const Json& value, std::string_view key) const {
    if (value.is_number_unsigned()) {
      const auto number = value.get<std::uint64_t>();
      if (number <= static_cast<std::uint64_t>(std::numeric_limits<Integer>::max())) {
        return static_cast<Integer>(number);
      }
    } else if (value.is_number_integer()) {
      const auto number = value.get<std::int64_t>();
      const bool fits = number >= 0 ? static_cast<std::uint64_t>(number) <=
                                                     static_cast<std::uint64_t>(std::numeric_limits<Integer>::max())
                                    : std::numeric_limits<Integer>::is_signed &&
                                          number >= static_cast<std::int64_t>(std::numeric_limits<Integer>::min());
      if (fits) {
        return static_cast<Integer>(number);
      }
    } else if (!value.is_number_float()) {
      failTypeMismatch(value, integerTypeName<Integer>(), key);
    }
    fail(DecodingError::Kind::dataCorrupted,
         "Parsed JSON number <" + value.dump() + "> does not fit in " + std::string(integerTypeName<Integer>()) + ".",
         key);
  }

  template <class Integer>
  static constexpr std::string_view integerTypeName() {
    static_assert(std::numeric_limits<Integer>::is_integer && sizeof(Integer) >= 2 && sizeof(Integer) <= 8);
    if constexpr (std::numeric_limits<Integer>::is_signed) {
      return sizeof(Integer) == 8 ? "Int64" : sizeof(Integer) == 4 ? "Int32" : "Int16";
    } else {
      return sizeof(Integer) == 8 ? "UInt64" : sizeof(Integer) == 4 ? "UInt32" : "UInt16";
    }
  }

  [[noreturn]] void failTypeMismatch(const Json& value, std::string_view expectedType, std::string_view key) const;

  const Json& object_;
  CodingPath codingPath_;
};

}  // namespace velmora
