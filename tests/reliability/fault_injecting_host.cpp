// velmora-host on virtual displays with a fault plan read from standard input, one command a line:
//
//   displays LAYOUT|none     the virtual displays become LAYOUT (or none), as a hot-plug would
//   stop-server, start-server  what the menu's Stop and Start do
//
// Each is applied on the main thread, then acknowledged on standard error ("Fault plan applied:
// COMMAND", or "refused"). Everything else is the real host.
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "app/host_main.h"
#include "app/status_bar_controller.h"
#include "platform/virtual/virtual_display_source.h"

namespace velmora {
namespace {

// Commands from the reader thread, taken by the main thread.
std::mutex commandsLock;
std::deque<std::string> commands;

bool apply(const std::string& command, StatusBarController& controller, VirtualDisplaySource* displays) {
  if (command.starts_with("displays ") && displays != nullptr) {
    const auto argument = command.substr(std::string_view("displays ").size());
    auto parsed = argument == "none" ? VirtualDisplayLayout{} : parseVirtualDisplayLayout(argument);
    if (!parsed) {
      return false;
    }
    displays->setLayout(std::move(parsed.value()));
    controller.screenParametersDidChange();
  } else if (command == "stop-server" || command == "start-server") {
    command == "stop-server" ? controller.stopServer() : controller.startServer();
  } else {
    return false;
  }
  return true;
}

// Runs on the main thread every 20 ms while its queue runs; the queue drops it at shutdown.
void takeCommands(MainQueue& mainQueue, std::weak_ptr<StatusBarController> weakController,
                  std::shared_ptr<VirtualDisplaySource> displays) {
  std::unique_lock lock(commandsLock);
  const auto taken = std::exchange(commands, {});
  lock.unlock();
  const auto controller = weakController.lock();
  if (!controller) {
    return;
  }
  for (const auto& command : taken) {
    const bool applied = apply(command, *controller, displays.get());
    std::fprintf(stderr, "Fault plan %s: %s\n", applied ? "applied" : "refused", command.c_str());
    std::fflush(stderr);
  }
  mainQueue.postAfter(std::chrono::milliseconds(20), [&mainQueue, weakController, displays] {
    takeCommands(mainQueue, weakController, displays);
  });
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  using namespace velmora;
  std::shared_ptr<VirtualDisplaySource> displays;
  HostCustomization customization;
  customization.adjustBackends = [&displays](HostBackends& backends) {
    displays = std::dynamic_pointer_cast<VirtualDisplaySource>(backends.displays);
  };
  customization.controllerStarted = [&displays](MainQueue& mainQueue, std::shared_ptr<StatusBarController> controller) {
    takeCommands(mainQueue, controller, displays);
  };
  // Detached: it may sit in a read when the host quits.
  std::thread([] {
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty()) {
        std::lock_guard lock(commandsLock);
        commands.push_back(line);
      }
    }
  }).detach();
  return hostMain(argc, argv, customization);
}
