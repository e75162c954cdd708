#include "app/app_delegate.h"

#include "app/app_build_info.h"

#include <cstdlib>
#include <utility>

namespace velmora {
namespace {

constexpr const char* kTestRunVariable = "XCTestConfigurationFilePath";
constexpr const char* kKeepRunningReason = "Velmora companion server must keep running";

}  // namespace

bool MacCompanionStartup::environmentMarksTestRun() { return std::getenv(kTestRunVariable) != nullptr; }

MacCompanionStartup MacCompanionStartup::live(std::shared_ptr<AutomaticTerminationControlling> lifecycleController) {
  return MacCompanionStartup{&MacCompanionStartup::environmentMarksTestRun, std::move(lifecycleController)};
}

AppDelegate::AppDelegate(MacCompanionStartup startup, Dependencies dependencies, StartMenuBarServicesHandler handler)
    : startup_(std::move(startup)),
      dependencies_(std::move(dependencies)),
      startMenuBarServicesHandler_(handler ? std::move(handler)
                                           : [](AppDelegate& delegate) { delegate.startMenuBarServices(); }) {}

void AppDelegate::applicationDidFinishLaunching() {
  if (startup_.isRunningUnitTests()) {
    logger_.info("Running under XCTest — skipping menu-bar startup side effects");
    return;
  }
  auto& lifecycleController = *startup_.lifecycleController;
  lifecycleController.setAutomaticTerminationSupportEnabled(false);
  lifecycleController.disableAutomaticTermination(kKeepRunningReason);
  lifecycleController.disableSuddenTermination();

  startMenuBarServicesHandler_(*this);
}

void AppDelegate::startMenuBarServices() {
  logger_.info("Launching Velmora version={} build={} fingerprint={}", AppBuildInfo::version(), AppBuildInfo::build(),
               AppBuildInfo::fingerprint());

  if (isDuplicateInstanceRunning()) {
    logger_.notice("Another Velmora instance is already running — terminating this one");
    dependencies_.terminate();
    return;
  }

  // The answers come too late to steer start-up; the controller watches the permissions itself.
  dependencies_.screenCapture->requestScreenCaptureAccess();
  const auto& input = *dependencies_.input;
  logger_.info("AccessibilityPermission.isGranted (before request): {}", input.isProcessTrusted(false) ? 1 : 0);
  input.isProcessTrusted(true);
  logger_.info("AccessibilityPermission.isGranted (after request): {}", input.isProcessTrusted(false) ? 1 : 0);

  dependencies_.startController();
  hasStartedController_ = true;
}

bool AppDelegate::isDuplicateInstanceRunning() {
  auto acquisition = SingleInstanceLock::acquire(dependencies_.singleInstanceLockPath);
  switch (acquisition.outcome) {
    case SingleInstanceLock::Outcome::acquired:
      singleInstanceLock_ = std::move(acquisition.lock);
      return false;
    case SingleInstanceLock::Outcome::heldByAnotherProcess:
      return true;
    case SingleInstanceLock::Outcome::failed:
      break;
  }
  // Better two instances than none: a lock that cannot be taken does not stop start-up.
  logger_.error("Cannot check for another running instance: {}", acquisition.errorDescription);
  return false;
}

}  // namespace velmora
