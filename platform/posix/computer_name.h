#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace velmora {

inline constexpr const char* kMachineInfoPath = "/etc/machine-info";

// PRETTY_HOSTNAME from a machine-info file (KEY=VALUE lines with shell quoting); nothing when the
// file or the value is missing, empty or not valid UTF-8.
std::optional<std::string> prettyHostName(const std::filesystem::path& machineInfoPath = kMachineInfoPath);

// The name shown to clients: the pretty host name, else the host name, else the fallback host name. Not
// overloaded, so that it converts to a std::function.
std::string computerName();
std::string computerNameFrom(const std::filesystem::path& machineInfoPath);

}  // namespace velmora
