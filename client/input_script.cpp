#include "client/input_script.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "client/seconds.h"
#include "protocol/json_object_reader.h"
#include "protocol/message_coder.h"

namespace velmora {
namespace {

constexpr std::array<std::string_view, 4> kDirectives = {"sleep", "waitForPictures", "waitForServerHellos",
                                                         "changeVideoPort"};

// A line's failure, without its line number.
class LineError {
 public:
  explicit LineError(std::string why) : why_(std::move(why)) {}
  const std::string& why() const { return why_; }

 private:
  std::string why_;
};

bool isSkipped(std::string_view line) {
  const auto first = std::find_if(line.begin(), line.end(), [](unsigned char c) { return std::isspace(c) == 0; });
  return first == line.end() || *first == '#';
}

std::chrono::milliseconds seconds(const JsonObjectReader& reader, std::string_view key, bool allowZero) {
  const double value = reader.number(key);
  const auto duration = durationFromSeconds(value);
  if (!duration || (!allowZero && value <= 0)) {
    throw LineError("\"" + std::string(key) + "\" must be " + (allowZero ? "0 or more" : "more than 0") +
                    " seconds, at most 1000000");
  }
  return *duration;
}

// Typos such as "timout" would otherwise fall back silently on nothing: every key must be known.
void requireOnlyKeys(const Json& object, std::string_view directive, std::initializer_list<std::string_view> keys) {
  for (const auto& [key, value] : object.items()) {
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      throw LineError("\"" + std::string(directive) + "\" has no key \"" + key + "\"");
    }
  }
}

std::uint64_t positiveCount(const JsonObjectReader& reader) {
  const auto count = reader.integer<std::uint64_t>("count");
  if (count == 0) {
    throw LineError("\"count\" must be at least 1");
  }
  return count;
}

ScriptAction parseDirective(const Json& line, std::string_view directive) {
  if (line.size() != 1) {
    throw LineError("\"" + std::string(directive) + "\" must be the only key of its line");
  }
  const Json& value = line.at(std::string(directive));
  if (directive == "sleep") {
    if (!value.is_number()) {
      throw LineError("\"sleep\" takes a number of seconds");
    }
    const auto duration = durationFromSeconds(value.get<double>());
    if (!duration) {
      throw LineError("\"sleep\" must be 0 or more seconds, at most 1000000");
    }
    return ScriptSleep{*duration};
  }
  if (directive == "changeVideoPort") {
    // Room for options later: today the only form is the empty object.
    if (!value.is_object() || !value.empty()) {
      throw LineError("\"changeVideoPort\" takes an empty object: {\"changeVideoPort\": {}}");
    }
    return ScriptChangeVideoPort{};
  }
  const JsonObjectReader reader(value, {std::string(directive)});
  if (directive == "waitForPictures") {
    requireOnlyKeys(value, directive, {"display", "count", "timeout"});
    return ScriptWaitForPictures{reader.integer<std::uint16_t>("display"), positiveCount(reader),
                                 seconds(reader, "timeout", false)};
  }
  requireOnlyKeys(value, directive, {"count", "timeout"});
  return ScriptWaitForServerHellos{positiveCount(reader), seconds(reader, "timeout", false)};
}

ControlMessage parseControlMessage(const Json& line) {
  const ControlMessage message = ControlMessage::fromJson(line);
  if (message.isUnknown()) {
    std::string keys;
    for (const auto& [key, value] : line.items()) {
      keys += (keys.empty() ? "\"" : ", \"") + key + "\"";
    }
    throw LineError((keys.empty() ? std::string("an empty object") : "unknown step " + keys) +
                    ": expected sleep, waitForPictures, waitForServerHellos, changeVideoPort or a control message");
  }
  // The host refuses frames over the limit and would end the session; better to say so now.
  const std::size_t payloadSize = MessageCoder::shared().encode(message).size() - 4;
  if (payloadSize > MessageCoder::maxFramePayloadSize) {
    throw LineError("the message is " + std::to_string(payloadSize) + " bytes, more than the " +
                    std::to_string(MessageCoder::maxFramePayloadSize) + " a host accepts");
  }
  return message;
}

ScriptAction parseLine(const std::string& text) {
  Json line;
  try {
    line = Json::parse(text);
  } catch (const Json::exception& error) {
    throw LineError(std::string("not JSON: ") + error.what());
  }
  if (!line.is_object()) {
    throw LineError("expected a JSON object");
  }
  for (const std::string_view directive : kDirectives) {
    if (line.contains(std::string(directive))) {
      return parseDirective(line, directive);
    }
  }
  return parseControlMessage(line);
}

}  // namespace

Result<InputScript> parseInputScript(std::istream& input) {
  InputScript script;
  std::string line;
  std::size_t lineNumber = 0;
  while (std::getline(input, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (isSkipped(line)) {
      continue;
    }
    try {
      script.push_back(ScriptStep{lineNumber, parseLine(line)});
    } catch (const LineError& error) {
      return Result<InputScript>::failure("line " + std::to_string(lineNumber) + ": " + error.why());
    } catch (const DecodingError& error) {
      return Result<InputScript>::failure("line " + std::to_string(lineNumber) + ": " + error.what());
    } catch (const EncodingError& error) {
      return Result<InputScript>::failure("line " + std::to_string(lineNumber) + ": cannot be sent: " + error.what());
    }
  }
  if (input.bad()) {
    return Result<InputScript>::failure("reading failed after line " + std::to_string(lineNumber));
  }
  return script;
}

Result<InputScript> loadInputScript(const std::string& path, std::istream& standardInput) {
  if (path == "-") {
    auto script = parseInputScript(standardInput);
    return script ? script : Result<InputScript>::failure("standard input, " + script.error());
  }
  std::ifstream file(path);
  if (!file) {
    return Result<InputScript>::failure("cannot open the script " + path + ": " + std::strerror(errno));
  }
  auto script = parseInputScript(file);
  return script ? script : Result<InputScript>::failure(path + ", " + script.error());
}

}  // namespace velmora
