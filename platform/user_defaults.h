#pragma once

#include <optional>
#include <string>
#include <vector>

namespace velmora {

// The application's persisted settings: a small key-value store.
class UserDefaults {
 public:
  virtual ~UserDefaults() = default;
  // The value under key when it is an array of strings; nothing when absent or of another type.
  virtual std::optional<std::vector<std::string>> stringArray(const std::string& key) const = 0;
  // Stores the value durably (other keys are kept). False, with the reason logged, when it could
  // not be written; the previous contents are then intact.
  virtual bool setStringArray(const std::string& key, const std::vector<std::string>& value) = 0;
};

}  // namespace velmora
