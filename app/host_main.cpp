// Puts the host together: the user interface, the backends chosen on the command line, and the
// session that runs on them until the host quits.
#include <asio/signal_set.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/app_build_info.h"
#include "app/app_delegate.h"
#include "app/command_line.h"
#include "app/headless_user_interface.h"
#include "app/host_main.h"
#include "app/localization.h"
#include "app/status_bar_controller.h"
#include "app/tray_supervisor.h"
#include "app/trust_command.h"
#include "control/control_channel_server.h"
#include "platform/avahi/avahi_service_advertiser.h"
#include "platform/dispatch/asio_main_queue.h"
#include "platform/log/log.h"
#include "platform/net/asio_tcp_listener.h"
#include "platform/dbus/freedesktop_notifier.h"
#include "platform/posix/computer_name.h"
#include "platform/posix/file_change_watch.h"
#include "platform/posix/json_file_user_defaults.h"
#include "platform/posix/show_panel_requests.h"
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
// The desktop went away under the host and did not come back in time.
constexpr int kDesktopGone = 3;
constexpr const char* kDesktopLostStatus = "Desktop lost — waiting for it to come back";
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
    if (!statusUserInterface_) {
      auto shown = tray_ ? tray_->userInterface() : nullptr;
      statusUserInterface_ = shown ? shown : std::make_shared<HeadlessUserInterface>();
      if (shown) {
        listenForShowPanelRequests();
      }
    }
    return statusUserInterface_;
  }
  std::shared_ptr<PermissionHelp> permissionHelp() { return tray_ ? tray_->permissionHelp() : nullptr; }
  // Admissions are announced on the desktop alongside the tray; headless, the log and the status
  // lines announce them.
  std::shared_ptr<DesktopNotifier> notifier() {
    if (tray_ && !notifier_) {
      notifier_ = makeFreedesktopNotifier();
    }
    return notifier_;
  }

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
  // Later launches ask for the panel; only the instance holding the lock gets here.
  void listenForShowPanelRequests() {
    auto listening = ShowPanelRequests::listen(showPanelSocketPath(defaultSingleInstanceLockPath()));
    if (!listening) {
      logger.error("Later launches cannot show the panel: {}", listening.error());
      return;
    }
    showPanelRequests_ = std::move(listening.value());
    tray_->onReadable(showPanelRequests_->descriptor(), [this] {
      if (showPanelRequests_->takeRequests()) {
        tray_->showStatusPanel();
      }
    });
  }

  std::unique_ptr<ShowPanelRequests> showPanelRequests_;  // outlives the tray's notifier on its socket
  std::unique_ptr<QtTrayApplication> tray_;
  std::optional<AsioMainQueue> headlessQueue_;
  std::shared_ptr<StatusUserInterface> statusUserInterface_;
  std::shared_ptr<DesktopNotifier> notifier_;
};

// One run of the host on its backends: the servers and the controller are made only once
// start-up knows this is the one instance, so that a second one touches nothing.
class HostSession {
 public:
  struct Dependencies {
    HostUserInterface& userInterface;
    const HostOptions& options;
    const HostCustomization& customization;
    std::shared_ptr<UserDefaults> userDefaults;
    // The file behind them, watched for changes another process makes (none: not watched).
    std::filesystem::path userDefaultsPath;
    // The menu's Quit.
    std::function<void()> quit;
    // On the main thread, once, when the desktop under the backends goes away.
    DesktopLossSignal::Handler onDesktopLost;
    // On the main thread, once, when the desktop or its user ends the sharing.
    DesktopLossSignal::Handler onSharingEnded;
  };

  HostSession(HostBackends backends, Dependencies dependencies)
      : backends_(std::move(backends)), dependencies_(std::move(dependencies)) {}

  // Nothing may call into the controller while it goes: the watches and the servers' queues stop
  // first.
  ~HostSession() {
    userDefaultsWatch_.reset();
    desktopLossWatch_.reset();
    sharingEndedWatch_.reset();
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
    MainQueue& mainQueue = dependencies_.userInterface.mainQueue();
    controller_ = StatusBarController::create(StatusBarController::Dependencies{
        mainQueue,
        ControlChannelServer::Dependencies{
            mainQueue, dependencies_.userDefaults, openAdvertiser(), computerName,
            [displays = backends_.displays] { return MacDisplayCatalog::currentSnapshots(*displays); },
            makeTcpListener, VelmoraConstants::defaultControlPort, ControlChannelTiming{},
            std::chrono::hours(24 * dependencies_.options.trustDays), dependencies_.options.alwaysAskForCode},
        VideoStreamServer::Options{}, backends_.displays, backends_.capture, backends_.makeEncoderSession,
        backends_.input, dependencies_.userInterface.statusUserInterface(),
        dependencies_.userInterface.permissionHelp(), dependencies_.quit, {},
        dependencies_.userInterface.notifier()});
    watchScreenChanges();
    watchUserDefaults();
    if (backends_.desktopLoss) {
      desktopLossWatch_ = backends_.desktopLoss->watch(mainQueue, dependencies_.onDesktopLost);
    }
    if (backends_.sharingEnded) {
      sharingEndedWatch_ = backends_.sharingEnded->watch(mainQueue, dependencies_.onSharingEnded);
    }
    controller_->startServer();
    if (dependencies_.customization.controllerStarted) {
      dependencies_.customization.controllerStarted(mainQueue, controller_);
    }
  }

  // Streaming stops and both servers close, the client's connection with them.
  void stop() {
    if (controller_) {
      controller_->shutdown(kCaptureStopTimeout);
    }
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

  // Trust taken back from the command line reaches this host at once: a forgotten device that is
  // connected is disconnected.
  void watchUserDefaults() {
    if (dependencies_.userDefaultsPath.empty()) {
      return;
    }
    auto watch = FileChangeWatch::start(dependencies_.userDefaultsPath,
                                        [&mainQueue = dependencies_.userInterface.mainQueue(), weak = std::weak_ptr(controller_)] {
                                          mainQueue.post([weak] {
                                            if (auto controller = weak.lock()) {
                                              controller->trustedDevicesChanged();
                                            }
                                          });
                                        });
    if (!watch) {
      logger.error("Changes to the trusted devices made outside this host will count only at the next connection: {}",
                   watch.error());
      return;
    }
    userDefaultsWatch_ = std::move(watch.value());
  }

  void watchScreenChanges() {
    if (!backends_.watchScreenChanges) {
      return;
    }
    auto watch = backends_.watchScreenChanges(dependencies_.userInterface.mainQueue(),
                                              [weak = std::weak_ptr(controller_)] {
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
  Dependencies dependencies_;
  std::shared_ptr<StatusBarController> controller_;
  ScreenChangeWatch screenChangeWatch_;
  std::shared_ptr<void> desktopLossWatch_;
  std::shared_ptr<void> sharingEndedWatch_;
  std::unique_ptr<FileChangeWatch> userDefaultsWatch_;
};

// The host's sessions over the life of the process, one at a time: the first on the backends
// start-up opens, and after the desktop went away a new one on the same family, opened again
// once the desktop is back. Main thread.
class HostSessions {
 public:
  HostSessions(const HostOptions& options, HostUserInterface& userInterface, const HostCustomization& customization)
      : options_(options), userInterface_(userInterface), customization_(customization) {}

  Result<AppDelegate::OpenedBackends> open() {
    auto backends = openBackends(options_);
    if (!backends) {
      return Result<AppDelegate::OpenedBackends>::failure(backends.error());
    }
    options_.backend = backends.value().family;
    session_ = makeSession(std::move(backends.value()));
    return AppDelegate::OpenedBackends{session_->backends().capture, session_->backends().input};
  }

  void startController() { session_->startController(); }

  void failStartUp(const std::string& reason) {
    std::fprintf(stderr, "velmora-host: %s\n", reason.c_str());
    end(kStartupFailure);
  }

  // The menu's Quit, SIGINT and SIGTERM: streaming stops and the main loop ends.
  void quit() {
    if (session_) {
      session_->stop();
    }
    end(0);
  }

  void applicationBecameActive() {
    if (session_) {
      session_->applicationBecameActive();
    }
  }

  int exitStatus() const { return exitStatus_; }

 private:
  Result<HostBackends> openBackends(const HostOptions& options) {
    auto backends = chooseHostBackends(options, *userDefaults_);
    if (backends && customization_.adjustBackends) {
      customization_.adjustBackends(backends.value());
    }
    return backends;
  }

  std::unique_ptr<HostSession> makeSession(HostBackends backends) {
    return std::make_unique<HostSession>(
        std::move(backends),
        HostSession::Dependencies{userInterface_, options_, customization_, userDefaults_, userDefaults_->path(),
                                  [this] { quit(); },
                                  [this](const std::string& reason) { desktopLost(reason); },
                                  [this](const std::string& reason) { sharingEnded(reason); }});
  }

  // Opening the sharing again would undo the user's choice, without asking where the desktop
  // remembers its approval: the host ends, with the status that keeps systemd from restarting it.
  void sharingEnded(const std::string& reason) {
    logger.error("The desktop ended the screen sharing ({}); the host quits and shares again once started again",
                 reason);
    quit();
  }

  // The client sees the host go at once; the desktop may come back (a compositor that restarts
  // itself, an X server started again on the same display).
  void desktopLost(const std::string& reason) {
    logger.error("The desktop went away ({}); waiting up to {} s for it to come back", reason,
                 std::chrono::duration_cast<std::chrono::seconds>(timing_.giveUpAfter).count());
    session_->stop();
    session_.reset();
    const auto status = userInterface_.statusUserInterface();
    status->statusChanged(kDesktopLostStatus);
    status->setToolTip(kDesktopLostStatus);
    lookForDesktopUntil(std::chrono::steady_clock::now() + timing_.giveUpAfter);
  }

  void lookForDesktopUntil(std::chrono::steady_clock::time_point giveUpAt) {
    userInterface_.mainQueue().postAfter(timing_.retryInterval, [this, giveUpAt] {
      auto backends = openBackends(options_);
      if (backends) {
        logger.notice("The desktop is back; serving again");
        session_ = makeSession(std::move(backends.value()));
        session_->startController();
        return;
      }
      if (std::chrono::steady_clock::now() >= giveUpAt) {
        logger.error("The desktop did not come back: {}", backends.error());
        end(kDesktopGone);
        return;
      }
      logger.debug("The desktop is not back yet: {}", backends.error());
      lookForDesktopUntil(giveUpAt);
    });
  }

  void end(int exitStatus) {
    exitStatus_ = exitStatus;
    userInterface_.mainQueue().shutdown();
  }

  HostOptions options_;  // its backend becomes the family that opened: the one to open again
  HostUserInterface& userInterface_;
  const HostCustomization& customization_;
  // The process's one store, made before any backend opens.
  const std::shared_ptr<JsonFileUserDefaults> userDefaults_ =
      std::make_shared<JsonFileUserDefaults>(defaultUserDefaultsPath());
  const DesktopReturnTiming timing_ = DesktopReturnTiming::fromEnvironment();
  std::unique_ptr<HostSession> session_;
  int exitStatus_ = 0;
};

int runHost(const HostOptions& options, int argc, char** argv, const HostCustomization& customization) {
  // Under systemd the lines go to the journal with their category as a field.
  sendLogToJournalWhenConnected();
  log::setMinimumLevel(options.logLevel);
  log::setShowPrivateValues(options.logPrivate);
  if (!options.headless) {
    const auto desktopReachable = [] {
      auto session = findGraphicalSession();
      return session ? Result<bool>(true) : Result<bool>::failure(session.error());
    };
    if (const auto ended = superviseTrayHost(DesktopReturnTiming::fromEnvironment(), desktopReachable,
                                             {kDisplayConnectionBrokeStatus, kDesktopGone})) {
      return *ended;
    }
  }

  HostUserInterface userInterface(options, argc, argv);
  HostSessions sessions(options, userInterface, customization);
  AppDelegate delegate(StartupEnvironment::live(std::make_shared<LogindIdleSleepInhibition>()),
                       AppDelegate::Dependencies{
                           defaultSingleInstanceLockPath(), [&sessions] { return sessions.open(); },
                           [&sessions] { sessions.startController(); },
                           [&userInterface] { userInterface.mainQueue().shutdown(); },
                           [&sessions](const std::string& reason) { sessions.failStartUp(reason); }});
  userInterface.mainQueue().post([&delegate] { delegate.applicationDidFinishLaunching(); });
  userInterface.run([&sessions] { sessions.quit(); }, [&sessions] { sessions.applicationBecameActive(); });
  return sessions.exitStatus();
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
  if (options.value().listTrusted || options.value().forgetTrusted) {
    return runTrustCommand(options.value(), std::make_shared<JsonFileUserDefaults>(defaultUserDefaultsPath()), stdout,
                           stderr);
  }
  return runHost(options.value(), argc, argv, customization);
}

}  // namespace velmora
