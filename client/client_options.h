#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/log/log.h"
#include "platform/result.h"
#include "protocol/handshake_message.h"
#include "protocol/velmora_constants.h"

namespace velmora {

struct ClientOptions {
  std::optional<std::string> host;  // --host; without it the host is discovered
  bool discover = false;
  std::uint16_t port = VelmoraConstants::defaultControlPort;
  std::chrono::milliseconds discoverTimeout{5000};
  std::string pairingCode;  // empty: the host must know the identifier already
  std::optional<std::string> clientIdentifier;
  std::string deviceName = "velmora-client";
  std::int64_t preferredWidth = 1920;
  std::int64_t preferredHeight = 1080;
  std::int64_t preferredFrameRate = 60;
  std::optional<std::string> scriptPath;  // "-" reads standard input
  std::chrono::milliseconds duration{5000};
  std::optional<std::filesystem::path> saveStreamDirectory;
  std::chrono::milliseconds handshakeTimeout{10000};
  log::Level logLevel = log::Level::info;
  bool showHelp = false;
};

// Parses velmora-client's arguments (without the program name); the error names the bad argument.
Result<ClientOptions> parseClientOptions(const std::vector<std::string>& arguments);

std::string clientUsage();

// The hello these options ask the host for.
ClientHello makeClientHello(const ClientOptions& options);

}  // namespace velmora
