#include "app/localization.h"

#include "platform/log/log.h"
#include "velmora_resource_paths.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <system_error>

namespace velmora {
namespace {

using Kind = FormatArgument::Kind;

const log::Logger& logger() {
  static const log::Logger appLogger("App");
  return appLogger;
}

// A table text cut at its placeholders: literal pieces and, between them, the argument kinds.
// `pieces` always has one more element than `arguments`.
struct ParsedFormat {
  std::vector<std::string> pieces;
  std::vector<Kind> arguments;
};

std::optional<ParsedFormat> parseFormat(std::string_view text) {
  ParsedFormat parsed;
  parsed.pieces.emplace_back();
  for (std::size_t index = 0; index < text.size(); ++index) {
    if (text[index] != '%') {
      parsed.pieces.back() += text[index];
      continue;
    }
    const std::string_view rest = text.substr(index + 1);
    if (rest.starts_with('%')) {
      parsed.pieces.back() += '%';
      index += 1;
      continue;
    }
    if (rest.starts_with('@')) {
      parsed.arguments.push_back(Kind::text);
      index += 1;
    } else if (rest.starts_with('u')) {
      parsed.arguments.push_back(Kind::unsignedInteger);
      index += 1;
    } else if (rest.starts_with("ld")) {
      parsed.arguments.push_back(Kind::signedInteger);
      index += 2;
    } else {
      return std::nullopt;
    }
    parsed.pieces.emplace_back();
  }
  return parsed;
}

std::string_view placeholderFor(Kind kind) {
  switch (kind) {
    case Kind::text: return "%@";
    case Kind::unsignedInteger: return "%u";
    case Kind::signedInteger: return "%ld";
  }
  return "%@";
}

std::string describeExpectedEntry(const std::vector<Kind>& arguments) {
  if (arguments.empty()) {
    return "needs an entry without placeholders";
  }
  std::string result = "needs an entry with the placeholders";
  for (const Kind kind : arguments) {
    result += ' ';
    result += placeholderFor(kind);
  }
  return result;
}

std::map<std::string, std::string, std::less<>> readTexts(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    logger().error("Cannot open the string table {} — showing keys instead of texts", file.string());
    return {};
  }
  const auto document = nlohmann::json::parse(stream, nullptr, false);
  if (document.is_discarded() || !document.is_object()) {
    logger().error("The string table {} is not a JSON object — showing keys instead of texts", file.string());
    return {};
  }
  std::map<std::string, std::string, std::less<>> texts;
  for (const auto& [key, value] : document.items()) {
    if (value.is_string()) {
      texts.emplace(key, value.get<std::string>());
    } else {
      logger().error("The string table {} has a non-text entry for \"{}\" — ignored", file.string(), key);
    }
  }
  return texts;
}

// A program under the build folder (the host, a test) reads the source tree's resources, so that an
// older installed copy never hides the files being worked on.
bool runsFromBuildTree() {
  std::error_code error;
  const auto executable = std::filesystem::canonical("/proc/self/exe", error);
  if (error) {
    return false;
  }
  const auto buildDirectory = std::filesystem::weakly_canonical(resource_paths::kBuildDirectory, error);
  if (error) {
    return false;
  }
  const auto relative = executable.lexically_relative(buildDirectory);
  return !relative.empty() && *relative.begin() != "..";
}

}  // namespace

const std::vector<LocalizationKey>& localizationKeys() {
  static const std::vector<LocalizationKey> keys = {
      {"mac.menu.status.format", {Kind::text}},
      {"mac.menu.status.waiting", {}},
      {"mac.menu.status.connected", {Kind::text}},
      {"mac.menu.status.serverStopped", {}},
      {"mac.menu.versionBuild.format", {Kind::text, Kind::text}},
      {"mac.menu.fingerprint.format", {Kind::text}},
      {"mac.menu.startServer", {}},
      {"mac.menu.stopServer", {}},
      {"mac.menu.showVerificationCode", {}},
      {"mac.menu.display", {}},
      {"mac.menu.displayItem.format", {Kind::unsignedInteger, Kind::signedInteger, Kind::signedInteger}},
      {"mac.menu.displayItem.mainFormat", {Kind::unsignedInteger, Kind::signedInteger, Kind::signedInteger}},
      {"mac.menu.bitrate", {}},
      {"mac.menu.trustedDevices", {}},
      {"mac.menu.trustedDevices.itemFormat", {Kind::text, Kind::text}},
      {"mac.menu.trustedDevices.forget", {}},
      {"mac.menu.trustedDevices.forgetAll", {}},
      {"mac.menu.trustedDevices.none", {}},
      {"mac.menu.alwaysAskForCode", {}},
      {"mac.menu.quit", {}},
      {"mac.accessibility.menuWarning", {}},
      {"mac.accessibility.tooltip", {}},
      {"mac.accessibility.openAlertFallback", {}},
      {"mac.accessibility.openAlertButton", {}},
      {"mac.screenRecording.menuWarning", {}},
      {"mac.screenRecording.openAlertFallback", {}},
      {"mac.screenRecording.openAlertButton", {}},
      {"mac.verification.title", {}},
      {"mac.verification.message", {}},
      {"mac.notice.connected.titleFormat", {Kind::text}},
      {"mac.notice.connected.bodyFormat", {Kind::text}},
      {"mac.notice.disconnect", {}},
      {"mac.notice.forget", {}},
  };
  return keys;
}

StringTable::StringTable(const std::filesystem::path& file) : file_(file), texts_(readTexts(file)) {}

std::string StringTable::text(std::string_view key) const { return format(key, {}); }

std::string StringTable::format(std::string_view key, std::initializer_list<FormatArgument> arguments) const {
  std::vector<Kind> argumentKinds;
  for (const auto& argument : arguments) {
    argumentKinds.push_back(argument.kind());
  }
  const auto fallback = [&] {
    std::string shown(key);
    for (const auto& argument : arguments) {
      shown += ' ';
      shown += argument.text();
    }
    return shown;
  };

  const auto found = texts_.find(key);
  if (found == texts_.end()) {
    reportOnce(key, "has no entry");
    return fallback();
  }
  const auto parsed = parseFormat(found->second);
  if (!parsed || parsed->arguments != argumentKinds) {
    reportOnce(key, describeExpectedEntry(argumentKinds));
    return fallback();
  }

  std::string result = parsed->pieces.front();
  auto argument = arguments.begin();
  for (std::size_t index = 1; index < parsed->pieces.size(); ++index, ++argument) {
    result += argument->text();
    result += parsed->pieces[index];
  }
  return result;
}

void StringTable::reportOnce(std::string_view key, std::string_view problem) const {
  {
    std::lock_guard lock(reportedKeysLock_);
    if (!reportedKeys_.emplace(key).second) {
      return;
    }
  }
  logger().error("\"{}\" {} in the string table {} — showing the key instead", key, problem, file_.string());
}

std::filesystem::path resourceDirectory() {
  if (const char* variable = std::getenv("VELMORA_RESOURCES_DIR"); variable != nullptr && *variable != '\0') {
    return variable;
  }
  return runsFromBuildTree() ? resource_paths::kSourceResourceDirectory : resource_paths::kInstalledResourceDirectory;
}

namespace {

const StringTable& processStringTable() {
  static const StringTable table(resourceDirectory() / "strings" / "en.json");
  return table;
}

}  // namespace

std::string localized(std::string_view key) { return processStringTable().text(key); }

std::string localizedFormat(std::string_view key, std::initializer_list<FormatArgument> arguments) {
  return processStringTable().format(key, arguments);
}

}  // namespace velmora
