#include "platform/log/printable.h"

namespace velmora::log {

std::string printable(std::string_view text, std::size_t maximumLength) {
  std::string result;
  const bool cut = text.size() > maximumLength;
  if (cut) {
    text = text.substr(0, maximumLength);
    // Do not end inside a UTF-8 sequence.
    while (!text.empty() && (static_cast<unsigned char>(text.back()) & 0xC0) == 0x80) {
      text.remove_suffix(1);
    }
    if (!text.empty() && (static_cast<unsigned char>(text.back()) & 0x80) != 0) {
      text.remove_suffix(1);
    }
  }
  result.reserve(text.size() + 3);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    result.push_back(byte < 0x20 || byte == 0x7F ? '?' : c);
  }
  if (cut) {
    result += "…";
  }
  return result;
}

}  // namespace velmora::log
