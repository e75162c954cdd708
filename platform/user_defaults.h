#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmora {

// The application's persisted settings: a small store of JSON values under string keys.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  // Every key as stored, in one read; an empty object when nothing is stored or the store cannot
  // be read.
  virtual nlohmann::json object() const = 0;
  // Edits the stored object in one durable write: `change` gets every key as stored now (another
  // process's writes included) and whatever it leaves is written. False, with the reason logged,
  // when it could not be written; the previous contents are then intact. `change` must not call
  // back into the store.
  virtual bool update(const std::function<void(nlohmann::json& object)>& change) = 0;

  // The value under key; nothing when absent.
  std::optional<nlohmann::json> value(const std::string& key) const {
    auto stored = object();
    const auto found = stored.find(key);
    return found == stored.end() ? std::nullopt : std::optional(std::move(*found));
  }
  // The value under key when it is an array of strings; nothing when absent or of another type.
  std::optional<std::vector<std::string>> stringArray(const std::string& key) const {
    const auto stored = value(key);
    if (!stored || !stored->is_array()) {
      return std::nullopt;
    }
    std::vector<std::string> strings;
    for (const auto& element : *stored) {
      if (!element.is_string()) {
        return std::nullopt;
      }
      strings.push_back(element.get<std::string>());
    }
    return strings;
  }
  bool setStringArray(const std::string& key, const std::vector<std::string>& strings) {
    return update([&](nlohmann::json& object) { object[key] = strings; });
  }
  // A boolean stored under key; `fallback` when absent or of another type.
  bool boolValue(const std::string& key, bool fallback) const {
    const auto stored = value(key);
    return stored && stored->is_boolean() ? stored->get<bool>() : fallback;
  }
};

}  // namespace velmora
