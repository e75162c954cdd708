#pragma once

#include <mutex>

#include "platform/user_defaults.h"

namespace velmora::testing {

// User defaults kept in memory; writes can be made to fail like a full disk.
class InMemoryUserDefaults : public UserDefaults {
 public:
  nlohmann::json object() const override {
    std::lock_guard lock(valuesLock_);
    return values_;
  }

  bool update(const std::function<void(nlohmann::json& object)>& change) override {
    std::lock_guard lock(valuesLock_);
    if (failWrites_) {
      return false;
    }
    change(values_);
    return true;
  }

  void failWrites(bool fail) {
    std::lock_guard lock(valuesLock_);
    failWrites_ = fail;
  }

 private:
  mutable std::mutex valuesLock_;
  nlohmann::json values_ = nlohmann::json::object();
  bool failWrites_ = false;
};

}  // namespace velmora::testing
