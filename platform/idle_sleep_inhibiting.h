#pragma once

#include <string>

namespace velmora {

// Keeps the system from idling or going to sleep for as long as the host runs. Main thread.
class IdleSleepInhibiting {
 public:
  virtual ~IdleSleepInhibiting() = default;

  // Takes the inhibition on the first call and holds it for the object's life; later calls do
  // nothing. A system that refuses is logged, not fatal.
  virtual void inhibitIdleSleep(const std::string& reason) = 0;
};

}  // namespace velmora
