#pragma once

#include <string>
#include <string_view>

namespace velmora {

// The user-visible text for a "mac." key; the key itself when the table has no entry.
std::string localized(std::string_view key);

// The text for a format key with its "%@" placeholders filled in order.
std::string localizedFormat(std::string_view key, std::initializer_list<std::string_view> arguments);

}  // namespace velmora
