#pragma once

#include <string>

namespace velmora {

// What the user sees of a session: the status line and the verification code. The tray
// application shows them in its menu and panel; headless runs print them. Main thread only.
class SessionPresenter {
 public:
  virtual ~SessionPresenter() = default;
  virtual void showStatus(const std::string& text) = 0;
  virtual void presentVerificationCode(const std::string& code) = 0;
  virtual void dismissVerificationCode() = 0;
};

}  // namespace velmora
