#pragma once

#include <string>
#include <utility>
#include <variant>

namespace velmora {

// What a factory returns: the object, or why it could not be made. A half-built object never exists.
template <class T>
class Result {
 public:
  Result(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  static Result failure(std::string why) { return Result(Failure{std::move(why)}); }

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(state_); }
  const T& value() const { return std::get<0>(state_); }
  const std::string& error() const { return std::get<1>(state_).why; }

 private:
  struct Failure {
    std::string why;
  };
  explicit Result(Failure failure) : state_(std::move(failure)) {}
  std::variant<T, Failure> state_;
};

}  // namespace velmora
