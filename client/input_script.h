#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <variant>
#include <vector>

#include "platform/result.h"
#include "protocol/control_message.h"

namespace velmora {

struct ScriptSleep {
  std::chrono::milliseconds duration{0};
  bool operator==(const ScriptSleep&) const = default;
};

// Until the display with this stream number has decoded `count` pictures since the start.
struct ScriptWaitForPictures {
  std::uint16_t display = 0;
  std::uint64_t count = 0;
  std::chrono::milliseconds timeout{0};
  bool operator==(const ScriptWaitForPictures&) const = default;
};

// Until `count` ServerHellos arrived since the start, the admitting one included.
struct ScriptWaitForServerHellos {
  std::uint64_t count = 0;
  std::chrono::milliseconds timeout{0};
  bool operator==(const ScriptWaitForServerHellos&) const = default;
};

// Moves video reception to a new socket on a new local UDP port, as a client whose address or
// port changed would: the hello goes out from there and the host's stream has to follow.
struct ScriptChangeVideoPort {
  bool operator==(const ScriptChangeVideoPort&) const = default;
};

using ScriptAction =
    std::variant<ScriptSleep, ScriptWaitForPictures, ScriptWaitForServerHellos, ScriptChangeVideoPort, ControlMessage>;

struct ScriptStep {
  std::size_t lineNumber = 0;
  ScriptAction action;
  bool operator==(const ScriptStep&) const = default;
};

using InputScript = std::vector<ScriptStep>;

// One step per line (JSON), blank lines and '#' comments skipped. The error names the first bad
// line: "line N: why".
Result<InputScript> parseInputScript(std::istream& input);

// The script in `path`, or standard input for "-"; errors are prefixed with where it came from.
Result<InputScript> loadInputScript(const std::string& path, std::istream& standardInput);

}  // namespace velmora
