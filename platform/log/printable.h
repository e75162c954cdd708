#pragma once

#include <string>
#include <string_view>

namespace velmora::log {

// Text that came from the network, made safe for one log line: control characters become '?'
// and anything past `maximumLength` bytes is cut (with "…"), so a peer cannot forge log lines
// or flood the log.
std::string printable(std::string_view text, std::size_t maximumLength = 200);

}  // namespace velmora::log

namespace velmora {
using log::printable;
}
