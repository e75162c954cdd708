#include "client/client_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

#include "client/seconds.h"
#include "platform/posix/command_line_arguments.h"
#include "protocol/json.h"

namespace velmora {
namespace {

using Parsed = Result<ClientOptions>;

constexpr std::int64_t kMaximumPictureSide = 16384;  // pixels
constexpr std::int64_t kMaximumFrameRate = 1000;      // frames per second

std::optional<std::int64_t> parseInteger(const std::string& text, std::int64_t minimum, std::int64_t maximum) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < minimum || value > maximum) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text, bool allowZero) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || (!allowZero && seconds <= 0)) {
    return std::nullopt;
  }
  return durationFromSeconds(seconds);
}

bool isPairingCode(const std::string& text) {
  return text.size() == static_cast<std::size_t>(VelmoraConstants::pairingCodeLength) &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The hello travels as JSON, which holds UTF-8 text only.
bool isUtf8(const std::string& text) {
  try {
    [[maybe_unused]] const auto encoded = Json(text).dump();
    return true;
  } catch (const Json::exception&) {
    return false;
  }
}

// "[::1]" as people write IPv6 literals in URLs; the resolver wants the bare address.
std::string withoutBrackets(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return host.substr(1, host.size() - 2);
  }
  return host;
}

}  // namespace

std::string clientUsage() {
  return R"(Usage: velmora-client (--host ADDRESS | --discover) [--port N] [--discover-timeout SECONDS]
                      [--code NNNN] [--identifier ID] [--device-name NAME]
                      [--preferred-height H] [--preferred-frame-rate R] [--preferred-width W]
                      [--script FILE|-] [--duration SECONDS] [--save-streams DIR]
                      [--handshake-timeout SECONDS] [--log-level debug|info|default|error] [--help]

The reference client of a Velmora host: connects to the host's control channel, pairs, receives
and decodes the video of every streamed display, sends input from a script, and prints what it
received as one JSON object on standard output.

Where the host is:
  --host ADDRESS             the host's address or name (IPv4 or IPv6)
  --port N                   its control port, with --host (default: 5920)
  --discover                 use the first _velmora._tcp service that DNS-SD (the Avahi daemon)
                             finds, at the address and port it resolves to
  --discover-timeout SECONDS how long --discover looks (default: 5)

Handshake:
  --code NNNN                the four-digit verification code the host shows; leave it out when
                             the host trusts --identifier already
  --identifier ID            a stable identifier the host remembers once the code was right
  --device-name NAME         the name the host logs (default: velmora-client)
  --preferred-width W        picture width to ask for, 1 to 16384 (default: 1920)
  --preferred-height H       picture height to ask for, 1 to 16384 (default: 1080)
  --preferred-frame-rate R   frame rate to ask for, 1 to 1000 (default: 60; hosts stream 60 at most)
  --handshake-timeout SECONDS
                             how long connecting and the host's answer may take (default: 10)

Session:
  --script FILE|-            JSON lines to run in order once the host admitted the client
                             (- reads standard input); the whole script is checked first
  --duration SECONDS         how long to keep receiving after the script ended (default: 5; 0 ends
                             right after it)
  --save-streams DIR         write each display's HEVC stream to DIR/display-N.hevc (Annex-B, N the
                             display's stream number; the directory is created, existing files
                             are appended to)
  --log-level LEVEL          debug, info, default or error (default: info); the log goes to
                             standard error
  --help                     print this help and exit

Script lines (blank lines and lines starting with # are skipped):
  {"sleep": SECONDS}
  {"waitForPictures": {"display": N, "count": K, "timeout": SECONDS}}
      until display N (0 while one display is streamed, else its place in the host's display
      list) has decoded K pictures in all
  {"waitForServerHellos": {"count": K, "timeout": SECONDS}}
      until K ServerHellos arrived in all, the first one included
  {"changeVideoPort": {}}
      moves video reception to a new socket on a new local UDP port and says hello from there,
      as a client whose source port changed would; decoding and statistics go on ("video" counts
      the changes and how soon a picture followed each)
  any control message as on the wire, e.g. {"mouseMove":{"x":10,"y":20}}, {"requestKeyframe":{}},
  {"keyDown":{"keyCode":0,"modifiers":0}}, {"switchDisplay":{"displayID":2}}

Output: {"serverHello": the latest ServerHello, "serverHellosReceived": n, "video": statistics},
printed once the host admitted the client, also when the session failed later. SIGINT and
SIGTERM end the session early; the output is still printed.

Exit status: 0 success, also when SIGINT or SIGTERM ended a session the host had admitted;
1 failure (no service found, no connection, no answer in time, a script wait that timed out,
the host closing the connection or sending something undecodable, a signal before the host
answered); 2 usage error or bad script; 3 the host rejected the client.
)";
}

Result<ClientOptions> parseClientOptions(const std::vector<std::string>& arguments) {
  ClientOptions options;
  bool portGiven = false;
  bool discoverTimeoutGiven = false;
  const auto failure = [](const std::string& why) { return Parsed::failure(why); };

  CommandLineArguments reader(arguments);
  while (reader.next()) {
    const std::string& argument = reader.name();
    const auto value = [&] { return reader.value(); };
    const auto nonEmptyValue = [&](const std::string& what) -> Result<std::string> {
      auto text = value();
      if (!text || text->empty()) {
        return Result<std::string>::failure(argument + " needs " + what);
      }
      if (!isUtf8(*text)) {
        return Result<std::string>::failure(argument + " needs " + what + " in UTF-8");
      }
      return *text;
    };

    if ((argument == "--help" || argument == "-h") && !reader.hasInlineValue()) {
      options.showHelp = true;
    } else if (argument == "--discover" && !reader.hasInlineValue()) {
      options.discover = true;
    } else if (argument == "--host") {
      auto host = nonEmptyValue("an address or host name");
      if (!host) {
        return failure(host.error());
      }
      options.host = withoutBrackets(host.value());
    } else if (argument == "--port") {
      const auto port = parseInteger(value().value_or(""), 1, 65535);
      if (!port) {
        return failure("--port takes a port number from 1 to 65535");
      }
      options.port = static_cast<std::uint16_t>(*port);
      portGiven = true;
    } else if (argument == "--discover-timeout" || argument == "--duration" || argument == "--handshake-timeout") {
      const bool allowZero = argument == "--duration";
      const auto duration = parseSeconds(value().value_or(""), allowZero);
      if (!duration) {
        return failure(argument + " takes " + (allowZero ? "0 or more" : "more than 0") + " seconds, at most 1000000");
      }
      if (argument == "--discover-timeout") {
        options.discoverTimeout = *duration;
        discoverTimeoutGiven = true;
      } else if (argument == "--duration") {
        options.duration = *duration;
      } else {
        options.handshakeTimeout = *duration;
      }
    } else if (argument == "--code") {
      const auto code = value();
      if (!code || !isPairingCode(*code)) {
        return failure("--code takes the host's four-digit verification code");
      }
      options.pairingCode = *code;
    } else if (argument == "--identifier") {
      auto identifier = nonEmptyValue("an identifier");
      if (!identifier) {
        return failure(identifier.error());
      }
      options.clientIdentifier = identifier.value();
    } else if (argument == "--device-name") {
      auto name = nonEmptyValue("a name");
      if (!name) {
        return failure(name.error());
      }
      options.deviceName = name.value();
    } else if (argument == "--preferred-width" || argument == "--preferred-height" ||
               argument == "--preferred-frame-rate") {
      const bool isRate = argument == "--preferred-frame-rate";
      const auto maximum = isRate ? kMaximumFrameRate : kMaximumPictureSide;
      const auto number = parseInteger(value().value_or(""), 1, maximum);
      if (!number) {
        return failure(argument + " takes a whole number from 1 to " + std::to_string(maximum));
      }
      if (isRate) {
        options.preferredFrameRate = *number;
      } else if (argument == "--preferred-width") {
        options.preferredWidth = *number;
      } else {
        options.preferredHeight = *number;
      }
    } else if (argument == "--script") {
      auto path = nonEmptyValue("a file name or -");
      if (!path) {
        return failure(path.error());
      }
      options.scriptPath = path.value();
    } else if (argument == "--save-streams") {
      auto directory = nonEmptyValue("a directory");
      if (!directory) {
        return failure(directory.error());
      }
      options.saveStreamDirectory = std::filesystem::path(directory.value());
    } else if (argument == "--log-level") {
      static const std::map<std::string, log::Level> levels = {
          {"debug", log::Level::debug}, {"info", log::Level::info}, {"default", log::Level::notice}, {"error", log::Level::error}};
      const auto level = levels.find(value().value_or(""));
      if (level == levels.end()) {
        return failure("--log-level takes debug, info, default or error");
      }
      options.logLevel = level->second;
    } else {
      return failure("unknown option '" + reader.given() + "'");
    }
  }

  if (options.showHelp) {
    return options;
  }
  if (options.host.has_value() == options.discover) {
    return failure("give either --host ADDRESS or --discover");
  }
  if (options.discover && portGiven) {
    return failure("--port goes with --host; --discover takes the port the service announces");
  }
  if (options.host && discoverTimeoutGiven) {
    return failure("--discover-timeout goes with --discover");
  }
  return options;
}

ClientHello makeClientHello(const ClientOptions& options) {
  ClientHello hello;
  hello.protocolVersion = VelmoraConstants::protocolVersion;
  hello.preferredWidth = options.preferredWidth;
  hello.preferredHeight = options.preferredHeight;
  hello.preferredFrameRate = options.preferredFrameRate;
  hello.deviceName = options.deviceName;
  hello.clientIdentifier = options.clientIdentifier;
  hello.pairingCode = options.pairingCode;
  return hello;
}

}  // namespace velmora
