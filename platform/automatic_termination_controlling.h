#pragma once

#include <string>

namespace velmora {

// Keeps the system from ending or idling the process while it serves clients. Main thread.
class AutomaticTerminationControlling {
 public:
  virtual ~AutomaticTerminationControlling() = default;

  virtual bool automaticTerminationSupportEnabled() const = 0;
  virtual void setAutomaticTerminationSupportEnabled(bool enabled) = 0;
  virtual void disableAutomaticTermination(const std::string& reason) = 0;
  virtual void disableSuddenTermination() = 0;
};

}  // namespace velmora
