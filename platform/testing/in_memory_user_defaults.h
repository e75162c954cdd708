#pragma once

#include <map>
#include <mutex>

#include "platform/user_defaults.h"

namespace velmora::testing {

// User defaults kept in memory; writes can be made to fail like a full disk.
class InMemoryUserDefaults : public UserDefaults {
 public:
  std::optional<std::vector<std::string>> stringArray(const std::string& key) const override {
    std::lock_guard lock(valuesLock_);
    auto found = values_.find(key);
    return found == values_.end() ? std::nullopt : std::optional(found->second);
  }

  bool setStringArray(const std::string& key, const std::vector<std::string>& value) override {
    std::lock_guard lock(valuesLock_);
    ++writeCount_;
    if (failWrites_) {
      return false;
    }
    values_[key] = value;
    return true;
  }

  void failWrites(bool fail) {
    std::lock_guard lock(valuesLock_);
    failWrites_ = fail;
  }

  int writeCount() const {
    std::lock_guard lock(valuesLock_);
    return writeCount_;
  }

 private:
  mutable std::mutex valuesLock_;
  std::map<std::string, std::vector<std::string>> values_;
  bool failWrites_ = false;
  int writeCount_ = 0;
};

}  // namespace velmora::testing
