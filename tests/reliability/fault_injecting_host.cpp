// velmora-host on virtual displays with a fault plan read from standard input, one command a line:
//
//   displays LAYOUT|none     the virtual displays become LAYOUT (or none), as a hot-plug would
//   stop-server, start-server  what the menu's Stop and Start do
//
// Each command is applied on the main thread and then acknowledged on standard error with
// "Fault plan applied: COMMAND"; a bad one gets "Fault plan refused: COMMAND (why)". Everything else
// is the real host.
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "app/host_main.h"
#include "app/status_bar_controller.h"
#include "platform/virtual/virtual_display_source.h"

namespace velmora {
namespace {

// Commands from the reader thread, taken by the main thread.
std::mutex commandsLock;
std::deque<std::string> commands;

void acknowledge(const char* outcome, const std::string& command, const std::string& why = {}) {
  std::fprintf(stderr, "Fault plan %s: %s%s\n", outcome, command.c_str(), why.empty() ? "" : (" (" + why + ")").c_str());
  std::fflush(stderr);
}

void apply(const std::string& command, StatusBarController& controller, VirtualDisplaySource* displays) {
  if (command.starts_with("displays ") && displays != nullptr) {
    const auto argument = command.substr(std::string_view("displays ").size());
    auto parsed = argument == "none" ? VirtualDisplayLayout{} : parseVirtualDisplayLayout(argument);
    if (!parsed) {
      acknowledge("refused", command, parsed.error());
      return;
    }
    displays->setLayout(std::move(parsed.value()));
    controller.screenParametersDidChange();
  } else if (command == "stop-server") {
    controller.stopServer();
  } else if (command == "start-server") {
    controller.startServer();
  } else {
    acknowledge("refused", command, "unknown command");
    return;
  }
  acknowledge("applied", command);
}

// Runs on the main thread every 20 ms while its queue runs; the queue drops it at shutdown.
void takeCommands(MainQueue& mainQueue, std::weak_ptr<StatusBarController> weakController,
                  std::shared_ptr<VirtualDisplaySource> displays) {
  std::deque<std::string> taken;
  {
    std::lock_guard lock(commandsLock);
    taken.swap(commands);
  }
  const auto controller = weakController.lock();
  if (!controller) {
    return;
  }
  for (const auto& command : taken) {
    apply(command, *controller, displays.get());
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
