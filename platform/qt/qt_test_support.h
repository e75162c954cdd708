#pragma once

#include "platform/status_user_interface.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace velmora::testing {

// The test program's one QApplication, on the thread that runs the tests. Made by the first call,
// on the Qt platform named there; destroyed once the last test has run.
class QtTestApplication : public ::testing::Environment {
 public:
  static QApplication& get(const char* platform) {
    static auto* const registered =  // gtest owns its environments
        static_cast<QtTestApplication*>(::testing::AddGlobalTestEnvironment(new QtTestApplication));
    if (!registered->application_) {
      setenv("QT_QPA_PLATFORM", platform, 1);
      registered->application_ = std::make_unique<QApplication>(argc_, argv_);
    }
    return *registered->application_;
  }

  void TearDown() override { application_.reset(); }

 private:
  static inline char name_[] = "velmora-qt-tests";
  static inline char* argv_[] = {name_, nullptr};
  static inline int argc_ = 1;
  std::unique_ptr<QApplication> application_;
};

// Runs Qt's events until `condition` holds or `timeout` passes; returns the condition.
inline bool processEventsUntil(const std::function<bool()>& condition,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  QTimer wakeUp;  // so that waiting for events also wakes for conditions that post none
  wakeUp.start(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  return true;
}

// The controller's side of the menu: a model the test sets, and a record of the menu's openings.
class FakeStatusMenuSource : public StatusMenuSource {
 public:
  void menuWillOpen(bool alternateKeyHeld) override { openings.push_back(alternateKeyHeld); }
  std::vector<StatusMenuItem> statusMenuItems() const override { return items; }

  std::vector<StatusMenuItem> items;
  std::vector<bool> openings;  // alternateKeyHeld of each menuWillOpen
};

}  // namespace velmora::testing
