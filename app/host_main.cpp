// Puts the host together from the backends chosen on the command line and runs it.
#include <asio/signal_set.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>

#include "app/app_build_info.h"
#include "app/app_delegate.h"
#include "app/host_main.h"
#include "app/command_line.h"
#include "app/headless_user_interface.h"
#include "app/localization.h"
#include "app/status_bar_controller.h"
#include "control/control_channel_server.h"
#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/dispatch/asio_main_queue.h"
#include "platform/log/log.h"
#include "platform/net/asio_tcp_listener.h"
#include "platform/posix/computer_name.h"
#include "platform/posix/json_file_user_defaults.h"
#include "platform/posix/single_instance_lock.h"
#include "platform/qt/qt_tray_application.h"
#include "platform/systemd/journal_log.h"
#include "platform/systemd/logind_inhibitor.h"
#include "platform/virtual/virtual_capture_backend.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/virtual/virtual_input_backend.h"
#include "platform/x11/screen_change_notifier.h"
#include "platform/x11/x11_capture_backend.h"
#include "platform/x11/x11_display_source.h"
#include "platform/x11/x11_input_backend.h"
#include "platform/x265/x265_encoder_backend.h"
#include "video/video_stream_server.h"
#include "protocol/velmora_constants.h"

namespace velmora {
namespace {

constexpr int kUsageError = 2;
constexpr int kStartupFailure = 1;
constexpr const char* kKeepRunningReason = "Velmora companion server must keep running";
// How long a quit waits for the captures to answer their stops.
constexpr auto kCaptureStopTimeout = std::chrono::seconds(5);

using Backends = HostBackends;

Result<Backends> openX11Backends(const log::Logger& logger) {
  auto displays = X11DisplaySource::open();
  if (!displays) {
    return Result<Backends>::failure(displays.error());
  }
  auto capture = X11CaptureBackend::open();
  if (!capture) {
    return Result<Backends>::failure(capture.error());
  }
  Backends backends{displays.value(), capture.value(), nullptr, makeX265EncoderBackend, true};
  if (auto input = makeX11InputBackend()) {
    backends.input = input.value();
  } else {
    // Streaming still works; input is refused as it would be without the permission.
    logger.error("Input cannot be posted to the X11 display: {}", input.error());
    auto refused = std::make_shared<VirtualInputBackend>(backends.displays);
    refused->setTrusted(false);
    backends.input = refused;
  }
  return backends;
}

Backends makeVirtualBackends(const VirtualDisplayLayout& layout) {
  auto displays = std::make_shared<VirtualDisplaySource>(layout);
  return Backends{displays, std::make_shared<VirtualCaptureBackend>(displays),
                  std::make_shared<VirtualInputBackend>(displays), makeX265EncoderBackend, false};
}

int runHost(const HostOptions& options, int argc, char** argv, const HostCustomization& customization) {
  // Under systemd the lines go to the journal with their category as a field.
  sendLogToJournalWhenConnected();
  log::setMinimumLevel(options.logLevel);
  log::setShowPrivateValues(options.logPrivate);
  const log::Logger logger("AppDelegate");

  // The tray when a desktop can show it; otherwise the headless interface, and the host says so.
  std::unique_ptr<QtTrayApplication> tray;
  if (!options.headless) {
    const auto resources = resourceDirectory();
    auto opened = QtTrayApplication::open(
        argc, argv,
        QtTrayApplication::Options{(resources / "Velmora-MenuBar-Icon.png").string(),
                                   (resources / "velmora-host.png").string(), resources / "help" / "permissions.html"});
    if (opened) {
      tray = std::move(opened.value());
    } else {
      logger.notice("No graphical session ({}) — running headless", opened.error());
    }
  }

  std::optional<Backends> backends;
  if (options.backend != Backend::virtualDisplays) {
    auto x11 = openX11Backends(logger);
    if (x11) {
      const char* display = std::getenv("DISPLAY");
      logger.info("Sharing the displays of the X11 display {}", display != nullptr ? display : "");
      backends = std::move(x11.value());
    } else if (options.backend == Backend::x11) {
      std::fprintf(stderr, "velmora-host: cannot use the X11 display: %s\n", x11.error().c_str());
      return kStartupFailure;
    } else {
      logger.info("No usable X11 display ({}) — sharing virtual displays", x11.error());
    }
  }
  if (!backends) {
    backends = makeVirtualBackends(options.virtualDisplays);
  }
  if (customization.adjustBackends) {
    customization.adjustBackends(*backends);
  }

  std::optional<AsioMainQueue> headlessQueue;
  if (!tray) {
    headlessQueue.emplace();
  }
  MainQueue& mainQueue = tray ? tray->mainQueue() : *headlessQueue;
  const std::shared_ptr<StatusUserInterface> userInterface =
      tray ? tray->userInterface() : std::make_shared<HeadlessUserInterface>();
  const std::shared_ptr<PermissionHelp> permissionHelp = tray ? tray->permissionHelp() : nullptr;
  auto userDefaults = std::make_shared<JsonFileUserDefaults>(defaultUserDefaultsPath());

  const auto displaySource = backends->displays;
  std::shared_ptr<ControlChannelServer> controlServer;
  std::shared_ptr<VideoStreamServer> videoServer;
  std::shared_ptr<StatusBarController> controller;
  std::unique_ptr<ScreenChangeNotifier> screenChanges;

  // The menu's Quit, SIGINT and SIGTERM: streaming stops and the main loop ends.
  const auto quit = [&] {
    if (controller) {
      controller->shutdown(kCaptureStopTimeout);
    }
    mainQueue.shutdown();
  };

  // Made only once start-up knows this is the one instance, so a second one touches nothing.
  const auto startController = [&] {
    std::shared_ptr<ServiceAdvertiser> advertiser;
    if (auto avahi = makeAvahiServiceAdvertiser()) {
      advertiser = avahi.value();
    } else {
      logger.error("DNS-SD advertisement is unavailable: {}", avahi.error());
    }
    controlServer = ControlChannelServer::create(ControlChannelServer::Dependencies{
        mainQueue, userDefaults, advertiser, computerName,
        [displaySource] { return MacDisplayCatalog::currentSnapshots(*displaySource); }, makeTcpListener,
        VelmoraConstants::defaultControlPort, ControlChannelTiming{}});
    videoServer = VideoStreamServer::create();
    controller = StatusBarController::create(StatusBarController::Dependencies{
        mainQueue, controlServer, videoServer, displaySource, backends->capture, backends->makeEncoderSession,
        backends->input, userInterface, permissionHelp, quit, {}});
    if (backends->isX11) {
      auto notifier = ScreenChangeNotifier::start(mainQueue, [weak = std::weak_ptr(controller)] {
        if (auto strong = weak.lock()) {
          strong->screenParametersDidChange();
        }
      });
      if (notifier) {
        screenChanges = std::move(notifier.value());
      } else {
        logger.error("Screen changes will not be noticed: {}", notifier.error());
      }
    }
    controller->startServer();
    if (customization.controllerStarted) {
      customization.controllerStarted(mainQueue, controller);
    }
  };
  AppDelegate delegate(
      MacCompanionStartup::live(std::make_shared<LogindTerminationController>(kKeepRunningReason)),
      AppDelegate::Dependencies{backends->capture, backends->input, defaultSingleInstanceLockPath(), startController,
                                [&] { mainQueue.shutdown(); }});

  std::optional<asio::signal_set> quitSignals;
  if (tray) {
    tray->onQuitSignal([&](int signal) {
      logger.info("Received signal {} — quitting", signal);
      quit();
    });
    tray->onApplicationActive([&] {
      if (controller) {
        controller->appDidBecomeActive();
      }
    });
  } else {
    quitSignals.emplace(headlessQueue->context(), SIGINT, SIGTERM);
    quitSignals->async_wait([&](const asio::error_code& error, int signal) {
      if (error) {
        return;
      }
      logger.info("Received signal {} — quitting", signal);
      quit();
    });
  }

  mainQueue.post([&] { delegate.applicationDidFinishLaunching(); });
  if (tray) {
    tray->run();
  } else {
    headlessQueue->run();
  }

  // Nothing may call into the controller while it goes: the watchers and the servers' queues
  // stop first.
  screenChanges.reset();
  if (controller) {
    controlServer->shutdownQueueAndWait();
    videoServer->shutdownQueueAndWait();
    controller.reset();
  }
  return 0;
}

}  // namespace

int hostMain(int argc, char** argv, const HostCustomization& customization) {
  auto options = parseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::fprintf(stderr, "velmora-host: %s\nTry 'velmora-host --help'.\n", options.error().c_str());
    return kUsageError;
  }
  if (options.value().showHelp) {
    std::fputs(hostUsage().c_str(), stdout);
    return 0;
  }
  if (options.value().showVersion) {
    std::printf("velmora-host %s (build %s, %s)\n", AppBuildInfo::version().c_str(), AppBuildInfo::build().c_str(),
                AppBuildInfo::fingerprint().c_str());
    return 0;
  }
  return runHost(options.value(), argc, argv, customization);
}

}  // namespace velmora
