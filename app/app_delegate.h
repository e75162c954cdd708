#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "platform/automatic_termination_controlling.h"
#include "platform/input_backend.h"
#include "platform/log/log.h"
#include "platform/posix/single_instance_lock.h"
#include "platform/screen_capture_backend.h"

namespace velmora {

struct MacCompanionStartup {
  std::function<bool()> isRunningUnitTests;
  std::shared_ptr<AutomaticTerminationControlling> lifecycleController;

  // A test run is recognised by "XCTestConfigurationFilePath" in the environment, whatever its
  // value (an empty one included).
  static bool environmentMarksTestRun();
  static MacCompanionStartup live(std::shared_ptr<AutomaticTerminationControlling> lifecycleController);
};

// Brings the host up once the main loop is ready to run: termination protections, the version
// line, the single-instance rule, the permission requests, and finally the session controller.
// Main thread.
class AppDelegate {
 public:
  struct Dependencies {
    std::shared_ptr<ScreenCaptureBackend> screenCapture;
    std::shared_ptr<InputBackend> input;
    std::filesystem::path singleInstanceLockPath = defaultSingleInstanceLockPath();
    // Creates the session controller and starts its servers.
    std::function<void()> startController;
    // Ends the main loop; the process then exits normally.
    std::function<void()> terminate;
  };
  using StartMenuBarServicesHandler = std::function<void(AppDelegate&)>;

  // Without a handler, the delegate's own start-up services run.
  AppDelegate(MacCompanionStartup startup, Dependencies dependencies, StartMenuBarServicesHandler handler = {});

  void applicationDidFinishLaunching();

  bool hasStartedController() const { return hasStartedController_; }

 private:
  void startMenuBarServices();
  bool isDuplicateInstanceRunning();

  const log::Logger logger_{"AppDelegate"};
  MacCompanionStartup startup_;
  Dependencies dependencies_;
  StartMenuBarServicesHandler startMenuBarServicesHandler_;
  bool hasStartedController_ = false;
  // Held for the life of the process: while it is, a later instance finds itself a duplicate.
  std::unique_ptr<SingleInstanceLock> singleInstanceLock_;
};

}  // namespace velmora
