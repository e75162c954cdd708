#pragma once

#include <cstdio>

#include "platform/log/log.h"
#include "platform/status_user_interface.h"

namespace velmora {

// Headless runs: "Verification code: NNNN" each time the panel would be shown and
// "Status: TEXT" for each status change, on stdout, one line each. Alerts go to the log.
class HeadlessUserInterface : public StatusUserInterface {
 public:
  explicit HeadlessUserInterface(std::FILE* output = stdout) : output_(output) {}

  void setMenuSource(std::weak_ptr<StatusMenuSource>) override {}
  void menuChanged() override {}
  void statusChanged(const std::string& statusText) override {
    std::fprintf(output_, "Status: %s\n", statusText.c_str());
    std::fflush(output_);
  }
  void setToolTip(const std::optional<std::string>&) override {}
  void presentVerificationCode(const VerificationCodePanelContent& content) override {
    std::fprintf(output_, "Verification code: %s\n", content.code.c_str());
    std::fflush(output_);
  }
  void dismissVerificationCode() override {}
  void showAlert(const std::string& message, const std::string&) override { logger_.notice("{}", message); }

 private:
  std::FILE* output_;
  const log::Logger logger_{"App"};
};

}  // namespace velmora
