#include "app/localization.h"

#include <map>

namespace velmora {
namespace {

const std::map<std::string_view, std::string_view>& englishStrings() {
  static const std::map<std::string_view, std::string_view> strings = {
      {"mac.menu.status.format", "Status: %@"},
      {"mac.menu.status.waiting", "Waiting for a client"},
      {"mac.menu.status.connected", "Connected to %@"},
      {"mac.menu.status.serverStopped", "Server stopped"},
      {"mac.verification.title", "Verification Code"},
      {"mac.verification.message", "Enter this code on your device to connect to this computer."},
  };
  return strings;
}

}  // namespace

std::string localized(std::string_view key) {
  const auto& strings = englishStrings();
  const auto found = strings.find(key);
  return std::string(found == strings.end() ? key : found->second);
}

std::string localizedFormat(std::string_view key, std::initializer_list<std::string_view> arguments) {
  const std::string format = localized(key);
  std::string result;
  auto argument = arguments.begin();
  for (std::size_t index = 0; index < format.size(); ++index) {
    if (format.compare(index, 2, "%@") == 0 && argument != arguments.end()) {
      result += *argument++;
      ++index;
    } else {
      result += format[index];
    }
  }
  return result;
}

}  // namespace velmora
