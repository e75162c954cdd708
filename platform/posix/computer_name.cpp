#include "platform/posix/computer_name.h"

#include "platform/log/log.h"
#include "protocol/velmora_constants.h"

#include <climits>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string_view>
#include <unistd.h>

namespace velmora {
namespace {

// machine-info holds a handful of short lines; anything longer is not worth reading whole.
constexpr std::size_t kLargestMachineInfoFile = 64 * 1024;

bool isValidUtf8(std::string_view text) {
  std::size_t position = 0;
  while (position < text.size()) {
    const auto lead = static_cast<unsigned char>(text[position]);
    std::size_t length = 0;
    char32_t codePoint = 0;
    if (lead < 0x80) {
      ++position;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07u;
    } else {
      return false;
    }
    if (position + length > text.size()) {
      return false;
    }
    for (std::size_t index = 1; index < length; ++index) {
      const auto continuation = static_cast<unsigned char>(text[position + index]);
      if ((continuation & 0xC0) != 0x80) {
        return false;
      }
      codePoint = (codePoint << 6) | (continuation & 0x3Fu);
    }
    const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;  // overlong forms, surrogates and values beyond Unicode
    }
    position += length;
  }
  return true;
}

bool isBlank(char character) { return character == ' ' || character == '\t' || character == '\r'; }

// The last PRETTY_HOSTNAME assignment, with shell quoting undone the way the system's own
// environment-file reader does: single quotes literal, double quotes with \" \\ \` \$ escapes,
// backslash escapes and line continuations outside quotes, unquoted trailing blanks dropped.
std::optional<std::string> parsePrettyHostName(std::string_view text) {
  std::optional<std::string> prettyName;
  std::size_t position = 0;
  while (position < text.size()) {
    if (isBlank(text[position]) || text[position] == '\n') {
      ++position;
      continue;
    }
    const std::size_t lineEnd = std::min(text.find('\n', position), text.size());
    const std::size_t equals = text.find('=', position);
    if (text[position] == '#' || text[position] == ';' || equals == std::string_view::npos || equals > lineEnd) {
      position = lineEnd;
      continue;
    }
    std::string_view key = text.substr(position, equals - position);
    while (!key.empty() && isBlank(key.back())) {
      key.remove_suffix(1);
    }
    position = equals + 1;
    while (position < text.size() && isBlank(text[position])) {
      ++position;
    }

    std::string value;
    std::size_t keptLength = 0;  // up to the last character that is not an unquoted blank
    while (position < text.size() && text[position] != '\n') {
      const char character = text[position++];
      if (character == '\'') {
        while (position < text.size() && text[position] != '\'') {
          value += text[position++];
        }
        ++position;
      } else if (character == '"') {
        while (position < text.size() && text[position] != '"') {
          if (text[position] == '\\' && position + 1 < text.size()) {
            const char escaped = text[position + 1];
            if (escaped == '\n') {
              position += 2;
              continue;
            }
            if (std::strchr("\"\\`$", escaped) != nullptr) {
              value += escaped;
              position += 2;
              continue;
            }
          }
          value += text[position++];
        }
        ++position;
      } else if (character == '\\') {
        if (position < text.size()) {
          const char escaped = text[position++];
          if (escaped != '\n') {  // a backslash before the line end continues the value
            value += escaped;
          }
        }
      } else {
        value += character;
        if (isBlank(character)) {
          continue;
        }
      }
      keptLength = value.size();
    }
    value.resize(keptLength);
    if (key == "PRETTY_HOSTNAME") {
      prettyName = std::move(value);
    }
  }
  return prettyName;
}

}  // namespace

std::optional<std::string> prettyHostName(const std::filesystem::path& machineInfoPath) {
  std::ifstream file(machineInfoPath, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::string text(kLargestMachineInfoFile + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kLargestMachineInfoFile) {
    log::Logger("App").error("Ignoring {}: larger than {} bytes", machineInfoPath.string(), kLargestMachineInfoFile);
    return std::nullopt;
  }

  auto prettyName = parsePrettyHostName(text);
  if (!prettyName || prettyName->empty()) {
    return std::nullopt;
  }
  if (!isValidUtf8(*prettyName)) {
    log::Logger("App").error("Ignoring PRETTY_HOSTNAME in {}: not valid UTF-8", machineInfoPath.string());
    return std::nullopt;
  }
  return prettyName;
}

std::string computerName() { return computerNameFrom(kMachineInfoPath); }

std::string computerNameFrom(const std::filesystem::path& machineInfoPath) {
  if (auto prettyName = prettyHostName(machineInfoPath)) {
    return *prettyName;
  }
  char hostName[HOST_NAME_MAX + 1] = {};
  if (::gethostname(hostName, sizeof hostName - 1) == 0 && hostName[0] != '\0' && isValidUtf8(hostName)) {
    return hostName;
  }
  return VelmoraConstants::fallbackHostName;
}

}  // namespace velmora
