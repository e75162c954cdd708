#include "control/trusted_client_identifiers.h"

#include <vector>

namespace velmora {

TrustedClientIdentifiers::TrustedClientIdentifiers(std::shared_ptr<UserDefaults> userDefaults)
    : userDefaults_(std::move(userDefaults)) {
  if (auto stored = userDefaults_->stringArray(std::string(kTrustedClientIdentifiersKey))) {
    trustedClientIdentifiers_.insert(stored->begin(), stored->end());
  }
}

bool TrustedClientIdentifiers::contains(const std::string& identifier) const {
  std::lock_guard lock(trustedClientIdentifiersLock_);
  return trustedClientIdentifiers_.contains(identifier);
}

bool TrustedClientIdentifiers::empty() const {
  std::lock_guard lock(trustedClientIdentifiersLock_);
  return trustedClientIdentifiers_.empty();
}

bool TrustedClientIdentifiers::add(const std::string& identifier) {
  std::lock_guard lock(trustedClientIdentifiersLock_);
  if (!trustedClientIdentifiers_.insert(identifier).second) {
    return false;
  }
  // std::set iterates in ascending order, which is the stored order.
  userDefaults_->setStringArray(std::string(kTrustedClientIdentifiersKey),
                                std::vector<std::string>(trustedClientIdentifiers_.begin(), trustedClientIdentifiers_.end()));
  return true;
}

std::optional<std::string> normalizeClientIdentifier(const std::optional<std::string>& identifier) {
  if (!identifier) {
    return std::nullopt;
  }
  constexpr std::string_view kWhiteSpace = " \t\n\r\v\f";
  const auto first = identifier->find_first_not_of(kWhiteSpace);
  if (first == std::string::npos) {
    return std::nullopt;
  }
  const auto last = identifier->find_last_not_of(kWhiteSpace);
  return identifier->substr(first, last - first + 1);
}

}  // namespace velmora
