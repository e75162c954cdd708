// velmora-host on virtual displays with a fault plan read from standard input, one command a line:
//
//   displays LAYOUT|none     the virtual displays become LAYOUT (or none), as a hot-plug would
//   fail-capture-starts N    the next N capture starts fail
//   refuse-encoders N        the next N encoder sessions cannot be created
//   stop-server, start-server  what the menu's Stop and Start do
//
// Each command is applied on the main thread and then acknowledged on standard error with
// "Fault plan applied: COMMAND"; a bad one gets "Fault plan refused: COMMAND (why)". Everything else
// is the real host.
#include <algorithm>
#include <atomic>
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

// Takes one from `count` when it is positive; true when one was taken.
bool spend(std::atomic<int>& count) {
  int left = count.load();
  while (left > 0) {
    if (count.compare_exchange_weak(left, left - 1)) {
      return true;
    }
  }
  return false;
}

struct FaultPlan {
  std::atomic<int> failingCaptureStarts{0};
  std::atomic<int> refusedEncoders{0};

  // Commands from the reader thread, taken by the main thread.
  std::mutex commandsLock;
  std::deque<std::string> commands;
};

FaultPlan plan;

class FaultyStream final : public ScreenCaptureStream {
 public:
  explicit FaultyStream(std::shared_ptr<ScreenCaptureStream> inner) : inner_(std::move(inner)) {}

  std::optional<std::string> addStreamOutput(std::weak_ptr<ScreenCaptureStreamOutput> output,
                                             SampleOutputType type) override {
    return inner_->addStreamOutput(std::move(output), type);
  }
  void startCapture(Completion completion) override {
    if (spend(plan.failingCaptureStarts)) {
      completion(std::string("the capture start failed (fault plan)"));
      return;
    }
    inner_->startCapture(std::move(completion));
  }
  void stopCapture(Completion completion) override { inner_->stopCapture(std::move(completion)); }

 private:
  const std::shared_ptr<ScreenCaptureStream> inner_;
};

class FaultyCaptureBackend final : public ScreenCaptureBackend {
 public:
  explicit FaultyCaptureBackend(std::shared_ptr<ScreenCaptureBackend> inner) : inner_(std::move(inner)) {}

  bool hasScreenCaptureAccess() override { return inner_->hasScreenCaptureAccess(); }
  bool requestScreenCaptureAccess() override { return inner_->requestScreenCaptureAccess(); }
  void listCapturableDisplays(CapturableDisplaysCompletion completion) override {
    inner_->listCapturableDisplays(std::move(completion));
  }
  std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID,
                                                  const ScreenCaptureStreamConfiguration& configuration,
                                                  std::weak_ptr<ScreenCaptureStreamDelegate> delegate) override {
    auto stream = inner_->makeStream(displayID, configuration, std::move(delegate));
    return stream ? std::make_shared<FaultyStream>(std::move(stream)) : nullptr;
  }

 private:
  const std::shared_ptr<ScreenCaptureBackend> inner_;
};

void acknowledge(const char* outcome, const std::string& command, const std::string& why = {}) {
  std::fprintf(stderr, "Fault plan %s: %s%s\n", outcome, command.c_str(), why.empty() ? "" : (" (" + why + ")").c_str());
  std::fflush(stderr);
}

bool parseCount(const std::string& text, int& count) {
  try {
    std::size_t used = 0;
    count = std::stoi(text, &used);
    return used == text.size() && count >= 0;
  } catch (const std::exception&) {
    return false;
  }
}

void apply(const std::string& command, StatusBarController& controller, VirtualDisplaySource* displays) {
  const auto space = command.find(' ');
  const std::string verb = command.substr(0, space);
  const std::string argument = space == std::string::npos ? "" : command.substr(space + 1);
  int count = 0;
  if (verb == "displays") {
    if (displays == nullptr) {
      acknowledge("refused", command, "the displays are not virtual");
      return;
    }
    VirtualDisplayLayout layout;
    if (argument != "none") {
      auto parsed = parseVirtualDisplayLayout(argument);
      if (!parsed) {
        acknowledge("refused", command, parsed.error());
        return;
      }
      layout = parsed.value();
    }
    displays->setLayout(std::move(layout));
    controller.screenParametersDidChange();
  } else if (verb == "fail-capture-starts" && parseCount(argument, count)) {
    plan.failingCaptureStarts = count;
  } else if (verb == "refuse-encoders" && parseCount(argument, count)) {
    plan.refusedEncoders = count;
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
  std::deque<std::string> commands;
  {
    std::lock_guard lock(plan.commandsLock);
    commands.swap(plan.commands);
  }
  const auto controller = weakController.lock();
  if (!controller) {
    return;
  }
  for (const auto& command : commands) {
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
    backends.capture = std::make_shared<FaultyCaptureBackend>(backends.capture);
    backends.makeEncoderSession = [inner = backends.makeEncoderSession](const EncoderSettings& settings,
                                                                        VideoEncoderBackend::OutputCallback output)
        -> VideoEncoderBackendCreation {
      if (spend(plan.refusedEncoders)) {
        return VideoEncoderBackendError{kEncoderStatusEncoderUnavailable, "refused by the fault plan"};
      }
      return inner(settings, std::move(output));
    };
  };
  customization.controllerStarted = [&displays](MainQueue& mainQueue, std::shared_ptr<StatusBarController> controller) {
    takeCommands(mainQueue, controller, displays);
  };
  // Detached: it may sit in a read when the host quits.
  std::thread([] {
    for (std::string line; std::getline(std::cin, line);) {
      if (!line.empty()) {
        std::lock_guard lock(plan.commandsLock);
        plan.commands.push_back(line);
      }
    }
  }).detach();
  return hostMain(argc, argv, customization);
}
