#pragma once

#include "platform/idle_sleep_inhibiting.h"
#include "platform/result.h"

#include <memory>
#include <string>

namespace velmora {

struct InhibitorRequest {
  std::string what = "idle:sleep";
  std::string who = "Velmora";
  std::string why;
  std::string mode = "block";
};

// A logind inhibitor lock, taken on the system bus and held until the object is destroyed
// (closing the descriptor logind handed out releases it).
class LogindInhibitor {
 public:
  // Fails, with a description, where no system bus or no logind answers; waits for logind no
  // longer than a few seconds.
  static Result<std::unique_ptr<LogindInhibitor>> take(const InhibitorRequest& request);

  struct Key {  // only take() makes an inhibitor
   private:
    friend class LogindInhibitor;
    Key() = default;
  };
  LogindInhibitor(Key key, int descriptor);
  ~LogindInhibitor();
  LogindInhibitor(const LogindInhibitor&) = delete;
  LogindInhibitor& operator=(const LogindInhibitor&) = delete;

 private:
  const int descriptor_;
};

// One logind "idle:sleep" inhibitor, taken on the first call and held for the object's life (the
// process's). Where logind is missing the first call logs why and later calls do nothing.
class LogindIdleSleepInhibition final : public IdleSleepInhibiting {
 public:
  void inhibitIdleSleep(const std::string& reason) override;

  bool holdsInhibitor() const { return inhibitor_ != nullptr; }

 private:
  bool triedInhibitor_ = false;
  std::unique_ptr<LogindInhibitor> inhibitor_;
};

}  // namespace velmora
