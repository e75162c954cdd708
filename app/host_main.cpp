// Puts the host together: the user interface, the backends chosen on the command line, and the
// session that runs on them until the host quits.
#include <asio/signal_set.hpp>

#include <cstdio>
#include <optional>

#include "app/app_build_info.h"
#include "app/app_delegate.h"
#include "app/command_line.h"
#include "app/headless_user_interface.h"
#include "app/host_main.h"
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
#include "protocol/velmora_constants.h"
#include "video/video_stream_server.h"

namespace velmora {
namespace {

constexpr int kUsageError = 2;
constexpr int kStartupFailure = 1;
// How long a quit waits for the captures to answer their stops.
constexpr auto kCaptureStopTimeout = std::chrono::seconds(5);

const log::Logger logger("AppDelegate");

// The tray when a desktop can show it; otherwise the headless interface, and the host says so.
// Either way it owns the main queue and the main loop.
class HostUserInterface {
 public:
  HostUserInterface(const HostOptions& options, int argc, char** argv) {
    if (!options.headless) {
      const auto resources = resourceDirectory();
      auto opened = QtTrayApplication::open(
          argc, argv,
          QtTrayApplication::Options{(resources / "Velmora-MenuBar-Icon.png").string(),
                                     (resources / "velmora-host.png").string(), resources / "help" / "permissions.html"});
      if (opened) {
        tray_ = std::move(opened.value());
      } else {
        logger.notice("No graphical session ({}) — running headless", opened.error());
      }
    }
    if (!tray_) {
      headlessQueue_.emplace();
    }
  }

  MainQueue& mainQueue() { return tray_ ? tray_->mainQueue() : *headlessQueue_; }

  // The tray's icon appears here, once start-up has decided to run.
  std::shared_ptr<StatusUserInterface> statusUserInterface() {
    auto shown = tray_ ? tray_->userInterface() : nullptr;
    return shown ? shown : std::make_shared<HeadlessUserInterface>();
  }
  std::shared_ptr<PermissionHelp> permissionHelp() { return tray_ ? tray_->permissionHelp() : nullptr; }

  // `onQuit` runs on the main thread for SIGINT and SIGTERM; `onActive` when the desktop makes
  // the host the active application (the tray only).
  void run(std::function<void()> onQuit, std::function<void()> onActive) {
    const auto quitFor = [onQuit](int signal) {
      logger.info("Received signal {} — quitting", signal);
      onQuit();
    };
    if (tray_) {
      tray_->onQuitSignal(quitFor);
      tray_->onApplicationActive(std::move(onActive));
      tray_->run();
      return;
    }
    asio::signal_set quitSignals(headlessQueue_->context(), SIGINT, SIGTERM);
    quitSignals.async_wait([quitFor](const asio::error_code& error, int signal) {
      if (!error) {
        quitFor(signal);
      }
    });
    headlessQueue_->run();
  }

 private:
  std::unique_ptr<QtTrayApplication> tray_;
  std::optional<AsioMainQueue> headlessQueue_;
};

// One run of the host on its backends: the servers and the controller are made only once
// start-up knows this is the one instance, so that a second one touches nothing.
class HostSession {
 public:
  HostSession(HostBackends backends, HostUserInterface& userInterface, const HostCustomization& customization)
      : backends_(std::move(backends)), userInterface_(userInterface), customization_(customization) {}

  // Nothing may call into the controller while it goes: the screen watch and the servers' queues
  // stop first.
  ~HostSession() {
    screenChangeWatch_.reset();
    if (controller_) {
      controller_->controlServer().shutdownQueueAndWait();
      controller_->videoServer().shutdownQueueAndWait();
      controller_.reset();
    }
  }
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  const HostBackends& backends() const { return backends_; }

  void startController() {
    MainQueue& mainQueue = userInterface_.mainQueue();
    controller_ = StatusBarController::create(StatusBarController::Dependencies{
        mainQueue,
        ControlChannelServer::Dependencies{
            mainQueue, std::make_shared<JsonFileUserDefaults>(defaultUserDefaultsPath()), openAdvertiser(), computerName,
            [displays = backends_.displays] { return MacDisplayCatalog::currentSnapshots(*displays); },
            makeTcpListener, VelmoraConstants::defaultControlPort, ControlChannelTiming{}},
        VideoStreamServer::Options{}, backends_.displays, backends_.capture, backends_.makeEncoderSession,
        backends_.input, userInterface_.statusUserInterface(), userInterface_.permissionHelp(), [this] { quit(); },
        {}});
    watchScreenChanges();
    controller_->startServer();
    if (customization_.controllerStarted) {
      customization_.controllerStarted(mainQueue, controller_);
    }
  }

  // The menu's Quit, SIGINT and SIGTERM: streaming stops and the main loop ends.
  void quit() {
    if (controller_) {
      controller_->shutdown(kCaptureStopTimeout);
    }
    userInterface_.mainQueue().shutdown();
  }

  void applicationBecameActive() {
    if (controller_) {
      controller_->appDidBecomeActive();
    }
  }

 private:
  static std::shared_ptr<ServiceAdvertiser> openAdvertiser() {
    auto avahi = makeAvahiServiceAdvertiser();
    if (!avahi) {
      logger.error("DNS-SD advertisement is unavailable: {}", avahi.error());
      return nullptr;
    }
    return avahi.value();
  }

  void watchScreenChanges() {
    if (!backends_.watchScreenChanges) {
      return;
    }
    auto watch = backends_.watchScreenChanges(userInterface_.mainQueue(), [weak = std::weak_ptr(controller_)] {
      if (auto controller = weak.lock()) {
        controller->screenParametersDidChange();
      }
    });
    if (!watch) {
      logger.error("Screen changes will not be noticed: {}", watch.error());
      return;
    }
    screenChangeWatch_ = std::move(watch.value());
  }

  HostBackends backends_;
  HostUserInterface& userInterface_;
  const HostCustomization& customization_;
  std::shared_ptr<StatusBarController> controller_;
  ScreenChangeWatch screenChangeWatch_;
};

int runHost(const HostOptions& options, int argc, char** argv, const HostCustomization& customization) {
  // Under systemd the lines go to the journal with their category as a field.
  sendLogToJournalWhenConnected();
  log::setMinimumLevel(options.logLevel);
  log::setShowPrivateValues(options.logPrivate);

  HostUserInterface userInterface(options, argc, argv);
  auto backends = chooseHostBackends(options);
  if (!backends) {
    std::fprintf(stderr, "velmora-host: %s\n", backends.error().c_str());
    return kStartupFailure;
  }
  if (customization.adjustBackends) {
    customization.adjustBackends(backends.value());
  }

  HostSession session(std::move(backends.value()), userInterface, customization);
  AppDelegate delegate(StartupEnvironment::live(std::make_shared<LogindIdleSleepInhibition>()),
                       AppDelegate::Dependencies{session.backends().capture, session.backends().input,
                                                 defaultSingleInstanceLockPath(), [&session] { session.startController(); },
                                                 [&userInterface] { userInterface.mainQueue().shutdown(); }});
  userInterface.mainQueue().post([&delegate] { delegate.applicationDidFinishLaunching(); });
  userInterface.run([&session] { session.quit(); }, [&session] { session.applicationBecameActive(); });
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
