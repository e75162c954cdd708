#pragma once

#include "platform/automatic_termination_controlling.h"
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

// The termination protections on Linux: both disable calls come down to one "idle:sleep"
// inhibitor, taken on the first of them and held for the object's life. Where logind is missing
// the first call logs why and later calls do nothing. There is no automatic termination to
// switch off here, so the flag is only remembered.
class LogindTerminationController final : public AutomaticTerminationControlling {
 public:
  // `defaultReason` is used when disableSuddenTermination() comes first.
  explicit LogindTerminationController(std::string defaultReason);

  bool automaticTerminationSupportEnabled() const override { return automaticTerminationSupportEnabled_; }
  void setAutomaticTerminationSupportEnabled(bool enabled) override { automaticTerminationSupportEnabled_ = enabled; }
  void disableAutomaticTermination(const std::string& reason) override;
  void disableSuddenTermination() override;

  bool holdsInhibitor() const { return inhibitor_ != nullptr; }

 private:
  void takeInhibitorOnce(const std::string& reason);

  const std::string defaultReason_;
  bool automaticTerminationSupportEnabled_ = true;
  bool triedInhibitor_ = false;
  std::unique_ptr<LogindInhibitor> inhibitor_;
};

}  // namespace velmora
