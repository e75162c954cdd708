#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora {

// Keys (and "Index N" for array elements) from the top-level value down to where decoding failed.
using CodingPath = std::vector<std::string>;

// Thrown by every decoder of untrusted bytes; the receive loop catches it and logs what().
class DecodingError : public std::exception {
 public:
  enum class Kind { dataCorrupted, typeMismatch, keyNotFound, valueNotFound };

  DecodingError(Kind kind, std::string description, CodingPath codingPath = {});

  Kind kind() const { return kind_; }
  const std::string& description() const { return description_; }
  const CodingPath& codingPath() const { return codingPath_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  Kind kind_;
  std::string description_;
  CodingPath codingPath_;
  std::string message_;
};

std::string_view kindName(DecodingError::Kind kind);

// Thrown when a value cannot be written: a non-finite number, a text that is not UTF-8, a frame too long.
class EncodingError : public std::exception {
 public:
  explicit EncodingError(std::string description) : description_(std::move(description)) {}

  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

}  // namespace velmora
