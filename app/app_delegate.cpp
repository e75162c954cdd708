#include "app/app_delegate.h"

#include "app/app_build_info.h"
#include "platform/posix/show_panel_requests.h"

#include <cstdlib>
#include <utility>

namespace velmora {
namespace {

constexpr const char* kTestRunVariable = "XCTestConfigurationFilePath";

}  // namespace

bool StartupEnvironment::environmentMarksTestRun() { return std::getenv(kTestRunVariable) != nullptr; }

StartupEnvironment StartupEnvironment::live(std::shared_ptr<IdleSleepInhibiting> idleSleepInhibition) {
  return StartupEnvironment{&StartupEnvironment::environmentMarksTestRun, std::move(idleSleepInhibition)};
}

AppDelegate::AppDelegate(StartupEnvironment startup, Dependencies dependencies, StartMenuBarServicesHandler handler)
    : startup_(std::move(startup)),
      dependencies_(std::move(dependencies)),
      startMenuBarServicesHandler_(handler ? std::move(handler)
                                           : [](AppDelegate& delegate) { delegate.startMenuBarServices(); }) {}

void AppDelegate::applicationDidFinishLaunching() {
  if (startup_.isTestRun()) {
    logger_.info("Running under XCTest — skipping menu-bar startup side effects");
    return;
  }
  startup_.idleSleepInhibition->inhibitIdleSleep(kKeepRunningReason);

  startMenuBarServicesHandler_(*this);
}

void AppDelegate::startMenuBarServices() {
  logger_.info("Launching Velmora version={} build={} fingerprint={}", AppBuildInfo::version(), AppBuildInfo::build(),
               AppBuildInfo::fingerprint());

  if (isDuplicateInstanceRunning()) {
    logger_.notice("Another Velmora instance is already running — terminating this one");
    // Where no tray shows the menu, launching again is how the user reaches it.
    if (auto asked = sendShowPanelRequest(showPanelSocketPath(dependencies_.singleInstanceLockPath)); !asked) {
      logger_.info("The running instance was not asked to show its panel: {}", asked.error());
    }
    dependencies_.terminate();
    return;
  }

  auto backends = dependencies_.openBackends();
  if (!backends) {
    dependencies_.failStartUp(backends.error());
    return;
  }
  // The answers come too late to steer start-up; the controller watches the permissions itself.
  backends.value().screenCapture->requestScreenCaptureAccess();
  const auto& input = *backends.value().input;
  // No Linux desktop has a prompt to ask for the input permission: the request asks nothing.
  logger_.info("AccessibilityPermission.isGranted (before request): {}", input.isProcessTrusted() ? 1 : 0);
  logger_.info("AccessibilityPermission.isGranted (after request): {}", input.isProcessTrusted() ? 1 : 0);

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
