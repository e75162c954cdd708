#pragma once

#include "platform/main_queue.h"
#include "platform/result.h"
#include "platform/status_user_interface.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace velmora {

// The Qt platform plugin to start; empty when the user chose one through QT_QPA_PLATFORM.
struct GraphicalSession {
  std::string platform;
  std::string note;  // why a Wayland session is shown through Xwayland; empty otherwise
};

// The status the process ends with when Qt's connection to its display breaks (the X server or
// the compositor went away): Qt ends it then, and the status tells that apart from a failure.
inline constexpr int kDisplayConnectionBrokeStatus = 75;

// Where Qt can show the tray: in a Wayland session ($WAYLAND_DISPLAY set) its own display when Qt
// has its Wayland plugin and the compositor answers, else the X display of $DISPLAY when it opens (Xwayland, with a note
// saying why). Fails with the reason otherwise. Asked before Qt starts, because Qt ends the
// process when its platform plugin fails.
Result<GraphicalSession> findGraphicalSession();

// The tray application as main() needs it, without any Qt header: the QApplication, its main
// queue, the tray user interface and the permission help. One per process, made and run on the
// main thread; whatever holds the user interface (the controller) must go before it.
class QtTrayApplication {
 public:
  struct Options {
    std::string menuBarIconPath;            // the tray's template image
    std::string applicationIconPath;        // the windows' icon, also shown on the verification-code panel
    std::filesystem::path permissionHelpPage;
  };

  // Fails, with the reason, when there is no graphical session.
  static Result<std::unique_ptr<QtTrayApplication>> open(int argc, char** argv, const Options& options);

  struct Parts;
  struct Key {  // only open() makes one
   private:
    friend class QtTrayApplication;
    Key() = default;
  };
  QtTrayApplication(Key key, std::unique_ptr<Parts> parts);
  ~QtTrayApplication();
  QtTrayApplication(const QtTrayApplication&) = delete;
  QtTrayApplication& operator=(const QtTrayApplication&) = delete;

  MainQueue& mainQueue();
  // Made on the first call, which shows the tray icon: call it only once start-up has decided to
  // run, so that a second instance or a test run shows no icon. Null, logged, if the tray cannot
  // be made. Main thread.
  std::shared_ptr<StatusUserInterface> userInterface();
  std::shared_ptr<PermissionHelp> permissionHelp() const;
  // `handler` runs on the main thread for each SIGINT and SIGTERM from now on.
  void onQuitSignal(std::function<void(int signal)> handler);
  // `handler` runs on the main thread each time the application becomes the active one.
  void onApplicationActive(std::function<void()> handler);
  // `handler` runs on the main thread each time `descriptor` becomes readable, until the
  // application goes; the descriptor must stay open that long.
  void onReadable(int descriptor, std::function<void()> handler);
  // The status menu in a window of its own, for desktops without a tray. Main thread.
  void showStatusPanel();
  // Runs the event loop until the main queue shuts down.
  void run();

 private:
  std::unique_ptr<Parts> parts_;
};

}  // namespace velmora
