#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/idle_sleep_inhibiting.h"
#include "platform/input_backend.h"
#include "platform/log/log.h"
#include "platform/posix/single_instance_lock.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"

namespace velmora {

// Why the host keeps the system from idling or sleeping; logind lists it with the inhibitor.
inline constexpr const char* kKeepRunningReason = "Velmora companion server must keep running";

// What start-up takes from its surroundings: whether this is a test run, and the idle-sleep
// inhibition it takes when it is not.
struct StartupEnvironment {
  std::function<bool()> isTestRun;
  std::shared_ptr<IdleSleepInhibiting> idleSleepInhibition;

  // A test run is recognised by "XCTestConfigurationFilePath" in the environment, whatever its
  // value (an empty one included): test harnesses set it, and the host then touches nothing.
  static bool environmentMarksTestRun();
  static StartupEnvironment live(std::shared_ptr<IdleSleepInhibiting> idleSleepInhibition);
};

// Brings the host up once the main loop is ready to run: the idle-sleep inhibition, the version
// line, the single-instance rule, the desktop's backends, the permission requests, and finally the
// session controller. No backend opens before the single-instance rule has let this instance run,
// so that a second one shows no sharing indicator or approval dialog. Main thread.
class AppDelegate {
 public:
  // What the permission requests ask.
  struct OpenedBackends {
    std::shared_ptr<ScreenCaptureBackend> screenCapture;
    std::shared_ptr<InputBackend> input;
  };
  struct Dependencies {
    std::filesystem::path singleInstanceLockPath = defaultSingleInstanceLockPath();
    // Opens the desktop's backends, or says why none opened.
    std::function<Result<OpenedBackends>()> openBackends;
    // Creates the session controller on the backends just opened and starts its servers.
    std::function<void()> startController;
    // Ends the main loop; the process then exits normally.
    std::function<void()> terminate;
    // Ends the main loop after the backends did not open; the process then exits with a failure.
    std::function<void(const std::string& reason)> failStartUp;
  };
  using StartMenuBarServicesHandler = std::function<void(AppDelegate&)>;

  // Without a handler, the delegate's own start-up services run.
  AppDelegate(StartupEnvironment startup, Dependencies dependencies, StartMenuBarServicesHandler handler = {});

  void applicationDidFinishLaunching();

  bool hasStartedController() const { return hasStartedController_; }

 private:
  void startMenuBarServices();
  bool isDuplicateInstanceRunning();

  const log::Logger logger_{"AppDelegate"};
  StartupEnvironment startup_;
  Dependencies dependencies_;
  StartMenuBarServicesHandler startMenuBarServicesHandler_;
  bool hasStartedController_ = false;
  // Held for the life of the process: while it is, a later instance finds itself a duplicate.
  std::unique_ptr<SingleInstanceLock> singleInstanceLock_;
};

}  // namespace velmora
