#include "platform/qt/qt_tray_application.h"

#include "platform/log/log.h"
#include "platform/qt/qt_main_queue.h"
#include "platform/qt/tray_user_interface.h"
#include "platform/qt/xdg_permission_help.h"
#include "platform/wayland/wayland_connection.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QPixmap>
#include <QLibraryInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

// Xlib's macros collide with Qt's names: it comes after every Qt header.
#include <X11/Xlib.h>

namespace velmora {
namespace {

std::string environmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool canOpenX11Display(const std::string& display) {
  Display* connection = XOpenDisplay(display.c_str());
  if (connection == nullptr) {
    return false;
  }
  XCloseDisplay(connection);
  return true;
}

bool hasWaylandPlugin() {
  const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"));
  return !platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
}

// Qt's own warnings in the host's log format.
void forwardQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  static const log::Logger logger("App");
  const std::string text = message.toStdString();
  switch (type) {
    case QtDebugMsg: logger.debug("Qt: {}", text); break;
    case QtInfoMsg: logger.info("Qt: {}", text); break;
    case QtWarningMsg: logger.notice("Qt: {}", text); break;
    case QtCriticalMsg:
    case QtFatalMsg: logger.error("Qt: {}", text); break;
  }
  // Qt ends the process right after these (the server went away), with a status that would read
  // as a start-up failure. Nothing of the host's needs an orderly exit then: every file it keeps is
  // written whole at each change, and the lines written so far go out first.
  if (text.starts_with("The X11 connection broke (") || text.starts_with("The Wayland connection broke.")) {
    std::fflush(nullptr);
    _exit(kDisplayConnectionBrokeStatus);
  }
}

// The write end for the signal handler; a signal handler can reach nothing but globals.
std::atomic<int> quitSignalWriteEnd{-1};

extern "C" void forwardQuitSignal(int signal) {
  const int savedErrno = errno;
  const auto number = static_cast<unsigned char>(signal);
  [[maybe_unused]] const auto written = ::write(quitSignalWriteEnd.load(), &number, 1);
  errno = savedErrno;
}

}  // namespace

Result<GraphicalSession> findGraphicalSession() {
  const std::string chosen = environmentValue("QT_QPA_PLATFORM");
  const bool choseX11 = chosen.find("xcb") != std::string::npos;
  const bool choseWayland = chosen.find("wayland") != std::string::npos;
  if (!chosen.empty() && !choseX11 && !choseWayland) {
    return GraphicalSession{};  // offscreen, vnc ...: the user knows what they asked for
  }

  const std::string x11Display = environmentValue("DISPLAY");
  const std::string waylandDisplay = environmentValue("WAYLAND_DISPLAY");
  std::string problem = "neither $DISPLAY nor $WAYLAND_DISPLAY is set";
  std::string waylandProblem;
  if ((chosen.empty() || choseWayland) && !waylandDisplay.empty()) {
    // Qt's plugin waits for ever on a compositor that does not answer: ask it first, with a deadline.
    if (!hasWaylandPlugin()) {
      waylandProblem = "Qt's Wayland platform plugin is not installed";
    } else if (auto answered = WaylandConnection::open(waylandDisplay); !answered) {
      waylandProblem = answered.error();
    } else {
      return GraphicalSession{chosen.empty() ? "wayland" : "", ""};
    }
    problem = waylandProblem;
  }
  if ((chosen.empty() || choseX11) && !x11Display.empty()) {
    if (canOpenX11Display(x11Display)) {
      const std::string note = waylandProblem.empty() ? "" : waylandProblem + " — showing the tray through Xwayland";
      return GraphicalSession{chosen.empty() ? "xcb" : "", note};
    }
    problem = "the X display " + x11Display + " does not open" +
              (waylandProblem.empty() ? "" : " and " + waylandProblem);
  }
  if (!chosen.empty()) {
    problem = "QT_QPA_PLATFORM is " + chosen + " but " + problem;
  }
  return Result<GraphicalSession>::failure(problem);
}

struct QtTrayApplication::Parts {
  std::vector<std::string> arguments;
  std::vector<char*> argv;
  int argc = 0;  // QApplication keeps a reference to it
  QtMessageHandler previousMessageHandler = nullptr;
  std::unique_ptr<QApplication> application;
  std::unique_ptr<QtMainQueue> mainQueue;
  std::string menuBarIconPath;
  std::shared_ptr<TrayUserInterface> userInterface;  // made by userInterface(): the icon shows then
  std::shared_ptr<XdgPermissionHelp> permissionHelp;
  int quitSignalPipe[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> quitSignalNotifier;
  std::vector<std::unique_ptr<QSocketNotifier>> readableNotifiers;
  std::function<void(int)> quitSignalHandler;

  ~Parts() {
    if (quitSignalPipe[0] >= 0) {
      ::signal(SIGINT, SIG_DFL);
      ::signal(SIGTERM, SIG_DFL);
      quitSignalWriteEnd = -1;
      quitSignalNotifier.reset();
      ::close(quitSignalPipe[0]);
      ::close(quitSignalPipe[1]);
    }
    if (mainQueue) {
      mainQueue->shutdown();
    }
    // Widgets before the application, the application last.
    readableNotifiers.clear();
    userInterface.reset();
    mainQueue.reset();
    application.reset();
    qInstallMessageHandler(previousMessageHandler);
  }
};

Result<std::unique_ptr<QtTrayApplication>> QtTrayApplication::open(int argc, char** argv, const Options& options) {
  auto session = findGraphicalSession();
  if (!session) {
    return Result<std::unique_ptr<QtTrayApplication>>::failure(session.error());
  }
  if (!session.value().note.empty()) {
    log::Logger("App").notice("{}", session.value().note);
  }
  auto parts = std::make_unique<Parts>();
  parts->arguments.assign(argv, argv + argc);
  if (parts->arguments.empty()) {
    parts->arguments.emplace_back("velmora-host");
  }
  if (!session.value().platform.empty()) {
    parts->arguments.insert(parts->arguments.begin() + 1, {"-platform", session.value().platform});
  }
  for (auto& argument : parts->arguments) {
    parts->argv.push_back(argument.data());
  }
  parts->argv.push_back(nullptr);
  parts->argc = static_cast<int>(parts->arguments.size());

  parts->previousMessageHandler = qInstallMessageHandler(forwardQtMessage);
  parts->application = std::make_unique<QApplication>(parts->argc, parts->argv.data());
  QApplication::setApplicationDisplayName(QStringLiteral("Velmora"));
  if (const QPixmap icon(QString::fromStdString(options.applicationIconPath)); !icon.isNull()) {
    QApplication::setWindowIcon(QIcon(icon));
  } else {
    log::Logger("App").notice("The application icon {} could not be loaded", options.applicationIconPath);
  }
  parts->mainQueue = std::make_unique<QtMainQueue>();
  parts->menuBarIconPath = options.menuBarIconPath;
  parts->permissionHelp = std::make_shared<XdgPermissionHelp>(options.permissionHelpPage);
  return std::make_unique<QtTrayApplication>(Key{}, std::move(parts));
}

QtTrayApplication::QtTrayApplication(Key, std::unique_ptr<Parts> parts) : parts_(std::move(parts)) {}

QtTrayApplication::~QtTrayApplication() = default;

MainQueue& QtTrayApplication::mainQueue() { return *parts_->mainQueue; }

std::shared_ptr<StatusUserInterface> QtTrayApplication::userInterface() {
  if (!parts_->userInterface) {
    auto made = TrayUserInterface::create(TrayUserInterface::Options{parts_->menuBarIconPath, stdout});
    if (!made) {
      log::Logger("App").error("The tray cannot be shown: {}", made.error());
      return nullptr;
    }
    parts_->userInterface = made.value();
  }
  return parts_->userInterface;
}

std::shared_ptr<PermissionHelp> QtTrayApplication::permissionHelp() const { return parts_->permissionHelp; }

void QtTrayApplication::onApplicationActive(std::function<void()> handler) {
  QObject::connect(parts_->application.get(), &QGuiApplication::applicationStateChanged, parts_->application.get(),
                   [handler = std::move(handler)](Qt::ApplicationState state) {
                     if (state == Qt::ApplicationActive) {
                       handler();
                     }
                   });
}

void QtTrayApplication::onQuitSignal(std::function<void(int signal)> handler) {
  parts_->quitSignalHandler = std::move(handler);
  if (parts_->quitSignalPipe[0] >= 0) {
    return;
  }
  if (::pipe2(parts_->quitSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    log::Logger("App").error("Cannot watch for quit signals: {}", std::strerror(errno));
    return;
  }
  const int readEnd = parts_->quitSignalPipe[0];
  parts_->quitSignalNotifier = std::make_unique<QSocketNotifier>(readEnd, QSocketNotifier::Read);
  QObject::connect(parts_->quitSignalNotifier.get(), &QSocketNotifier::activated, parts_->quitSignalNotifier.get(),
                   [parts = parts_.get(), readEnd] {
                     unsigned char signal = 0;
                     while (::read(readEnd, &signal, 1) == 1) {
                       if (parts->quitSignalHandler) {
                         parts->quitSignalHandler(signal);
                       }
                     }
                   });
  quitSignalWriteEnd = parts_->quitSignalPipe[1];
  struct sigaction action {};
  action.sa_handler = forwardQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

void QtTrayApplication::onReadable(int descriptor, std::function<void()> handler) {
  auto notifier = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), std::move(handler));
  parts_->readableNotifiers.push_back(std::move(notifier));
}

void QtTrayApplication::showStatusPanel() {
  if (parts_->userInterface) {
    parts_->userInterface->showStatusPanel();
  }
}

void QtTrayApplication::run() { parts_->mainQueue->run(); }

}  // namespace velmora
