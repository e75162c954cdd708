#pragma once

#include <cstdio>

#include "app/session_presenter.h"

namespace velmora {

// Headless runs: "Verification code: NNNN" each time the panel would be shown and
// "Status: TEXT" for each status change, on stdout, one line each.
class HeadlessPresenter : public SessionPresenter {
 public:
  explicit HeadlessPresenter(std::FILE* output = stdout) : output_(output) {}

  void showStatus(const std::string& text) override {
    std::fprintf(output_, "Status: %s\n", text.c_str());
    std::fflush(output_);
  }
  void presentVerificationCode(const std::string& code) override {
    std::fprintf(output_, "Verification code: %s\n", code.c_str());
    std::fflush(output_);
  }
  void dismissVerificationCode() override {}

 private:
  std::FILE* output_;
};

}  // namespace velmora
