#pragma once

#include <functional>
#include <memory>

#include "app/host_backends.h"
#include "platform/main_queue.h"

namespace velmora {

class StatusBarController;

// What a build of the host made for fault testing changes; velmora-host itself changes nothing.
struct HostCustomization {
  // Called once the backends are chosen, before anything uses them.
  std::function<void(HostBackends& backends)> adjustBackends;
  // Called on the main thread once the controller exists and its server started.
  std::function<void(MainQueue& mainQueue, std::shared_ptr<StatusBarController> controller)> controllerStarted;
};

// velmora-host: parses the command line and runs the host until it quits; the exit status.
int hostMain(int argc, char** argv, const HostCustomization& customization = {});

}  // namespace velmora
