#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/user_defaults.h"

namespace velmora {

inline constexpr std::string_view kTrustedClientIdentifiersKey = "trustedClientIdentifiers";

// Identifiers of clients that once presented the right code, persisted as a sorted array.
// The set only grows; every growth is written back at once.
class TrustedClientIdentifiers {
 public:
  explicit TrustedClientIdentifiers(std::shared_ptr<UserDefaults> userDefaults);

  bool contains(const std::string& identifier) const;
  // Returns whether the identifier was new. A failed write is logged by the store; the
  // identifier stays trusted for this run.
  bool add(const std::string& identifier);
  bool empty() const;

 private:
  std::shared_ptr<UserDefaults> userDefaults_;
  mutable std::mutex trustedClientIdentifiersLock_;
  std::set<std::string> trustedClientIdentifiers_;
};

// Leading and trailing white space and line breaks removed; nothing when absent or then empty.
std::optional<std::string> normalizeClientIdentifier(const std::optional<std::string>& identifier);

}  // namespace velmora
