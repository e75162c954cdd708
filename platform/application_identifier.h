#pragma once

#include <string_view>

namespace velmora {

// The application's reverse-DNS identifier: queue labels, the logind inhibitor, the desktop entry.
inline constexpr std::string_view kApplicationIdentifier = "org.velmora.host";

}  // namespace velmora
