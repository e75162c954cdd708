#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// Walks a command line, reading "--name=value" and "--name value" alike.
class CommandLineArguments {
 public:
  explicit CommandLineArguments(const std::vector<std::string>& arguments) : arguments_(arguments) {}

  // Moves to the next argument; false once all are read.
  bool next() {
    if (next_ >= arguments_.size()) {
      return false;
    }
    current_ = next_++;
    name_ = arguments_[current_];
    inlineValue_.reset();
    if (const auto equals = name_.find('='); name_.starts_with("--") && equals != std::string::npos) {
      inlineValue_ = name_.substr(equals + 1);
      name_.resize(equals);
    }
    return true;
  }

  // The option's name, without an inline value.
  const std::string& name() const { return name_; }
  // The argument as it was given, for messages.
  const std::string& given() const { return arguments_[current_]; }
  bool hasInlineValue() const { return inlineValue_.has_value(); }

  // The inline value, else the following argument, which is then used up; nothing at the end.
  std::optional<std::string> value() {
    if (inlineValue_) {
      return inlineValue_;
    }
    if (next_ < arguments_.size()) {
      return arguments_[next_++];
    }
    return std::nullopt;
  }

 private:
  const std::vector<std::string>& arguments_;
  std::size_t current_ = 0;
  std::size_t next_ = 0;
  std::string name_;
  std::optional<std::string> inlineValue_;
};

}  // namespace velmora
