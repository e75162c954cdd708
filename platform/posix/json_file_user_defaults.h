#pragma once

#include "platform/user_defaults.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// $XDG_CONFIG_HOME/velmora/user-defaults.json, else $HOME/.config/velmora/user-defaults.json; a
// value counts only when it is an absolute path (null: unset). Empty when neither does.
std::filesystem::path userDefaultsPath(const char* xdgConfigHome, const char* home);
// From the environment; without a usable $HOME, the home folder of the password database.
std::filesystem::path defaultUserDefaultsPath();

// The user defaults as one JSON object in a file. Every read goes to the file, so values that
// another process wrote are seen; every write replaces the file atomically and keeps other keys.
// Writes go through one hidden temporary file beside it, ".user-defaults.json.tmp" for
// "user-defaults.json": a process killed while writing leaves at most that file, which is never
// read and which the next write reuses.
class JsonFileUserDefaults final : public UserDefaults {
 public:
  explicit JsonFileUserDefaults(std::filesystem::path path);

  nlohmann::json object() const override;
  bool update(const std::function<void(nlohmann::json& object)>& change) override;

  const std::filesystem::path& path() const { return path_; }

 private:
  const std::filesystem::path path_;
  mutable std::mutex fileLock_;
};

}  // namespace velmora
