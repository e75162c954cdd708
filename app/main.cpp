// velmora-host: puts the host together from the backends chosen on the command line and runs it.
#include <asio/signal_set.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/command_line.h"
#include "app/headless_presenter.h"
#include "app/status_bar_controller.h"
#include "control/control_channel_server.h"
#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/dispatch/asio_main_queue.h"
#include "platform/log/log.h"
#include "platform/net/asio_tcp_listener.h"
#include "platform/posix/computer_name.h"
#include "platform/posix/json_file_user_defaults.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/x11/x11_display_source.h"
#include "protocol/velmora_constants.h"

namespace velmora {
namespace {

constexpr int kUsageError = 2;
constexpr int kStartupFailure = 1;

int runHost(const HostOptions& options) {
  log::setMinimumLevel(options.logLevel);
  log::setShowPrivateValues(options.logPrivate);
  const log::Logger logger("AppDelegate");

  if (!options.headless) {
    logger.notice("The tray application is not available in this build yet — running headless");
  }

  std::shared_ptr<DisplaySource> displaySource;
  if (options.backend != Backend::virtualDisplays) {
    auto x11 = X11DisplaySource::open();
    if (x11) {
      logger.info("Sharing the displays of the X11 display {}", std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
      displaySource = x11.value();
    } else if (options.backend == Backend::x11) {
      std::fprintf(stderr, "velmora-host: cannot use the X11 display: %s\n", x11.error().c_str());
      return kStartupFailure;
    } else {
      logger.info("No usable X11 display ({}) — sharing virtual displays", x11.error());
    }
  }
  if (!displaySource) {
    displaySource = std::make_shared<VirtualDisplaySource>(options.virtualDisplays);
  }

  AsioMainQueue mainQueue;
  auto userDefaults = std::make_shared<JsonFileUserDefaults>(defaultUserDefaultsPath());

  std::shared_ptr<ServiceAdvertiser> advertiser;
  if (auto avahi = makeAvahiServiceAdvertiser()) {
    advertiser = avahi.value();
  } else {
    logger.error("DNS-SD advertisement is unavailable: {}", avahi.error());
  }

  auto controlServer = ControlChannelServer::create(ControlChannelServer::Dependencies{
      mainQueue, userDefaults, advertiser, computerName,
      [displaySource] { return MacDisplayCatalog::currentSnapshots(*displaySource); }, makeTcpListener,
      VelmoraConstants::defaultControlPort, ControlChannelTiming{}});
  auto controller = StatusBarController::create(
      StatusBarController::Dependencies{mainQueue, controlServer, displaySource, std::make_shared<HeadlessPresenter>(), {}});

  asio::signal_set quitSignals(mainQueue.context(), SIGINT, SIGTERM);
  quitSignals.async_wait([&](const asio::error_code& error, int signal) {
    if (error) {
      return;
    }
    logger.info("Received signal {} — quitting", signal);
    controller->stopServer();
    mainQueue.shutdown();
  });

  controller->startServer();
  mainQueue.run();
  return 0;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  using namespace velmora;
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
    std::printf("velmora-host %s\n", VELMORA_VERSION);
    return 0;
  }
  return runHost(options.value());
}
