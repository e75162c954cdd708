#include "platform/x11/screen_change_notifier.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

#include "platform/log/log.h"
#include "platform/wake_event.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_monitors.h"

namespace velmora {

class ScreenChangeNotifier::Watch {
 public:
  Watch(X11Connection connection, int randrEventBase, WakeEvent stopEvent)
      : connection_(std::move(connection)),
        randrEventBase_(randrEventBase),
        stopEvent_(std::move(stopEvent)),
        xftScale_(readXftScale(connection_.get())) {}

  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  void run(MainQueue& mainQueue, const std::weak_ptr<Handler>& handler, const LossHandler& onConnectionLost) {
    Display* display = connection_.get();
    const int serverDescriptor = ConnectionNumber(display);
    while (true) {
      if (takeChanges()) {
        mainQueue.post([handler] {
          if (const auto current = handler.lock(); current && *current) {
            (*current)();
          }
        });
      }
      if (x11ConnectionLost(display)) {
        logger_.error("Screen change notifications end: the X connection is gone");
        if (onConnectionLost) {
          onConnectionLost(std::string("lost the connection to X display ") + DisplayString(display));
        }
        return;
      }
      pollfd descriptors[] = {{serverDescriptor, POLLIN, 0}, {stopEvent_.descriptor(), POLLIN, 0}};
      if (poll(descriptors, 2, -1) < 0 && errno != EINTR) {
        logger_.error("Screen change notifications end: poll failed: {}", std::strerror(errno));
        return;
      }
      if (descriptors[1].revents != 0) {
        return;
      }
    }
  }

  void wake() const { stopEvent_.signal(); }

 private:
  // Reads every event queued so far; true when one of them was a change of the screen.
  bool takeChanges() {
    Display* display = connection_.get();
    const Window root = DefaultRootWindow(display);
    bool changed = false;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      // Keeps Xlib's idea of the screen size current for this connection.
      XRRUpdateConfiguration(&event);
      const int randrType = event.type - randrEventBase_;
      if (randrType == RRScreenChangeNotify || randrType == RRNotify ||
          (event.type == ConfigureNotify && event.xconfigure.window == root)) {
        changed = true;
      } else if (event.type == PropertyNotify && event.xproperty.window == root &&
                 event.xproperty.atom == XA_RESOURCE_MANAGER) {
        // The desktop's scale (Xft.dpi) lives among the X resources, which change for many other
        // reasons too: only a new scale is a change of the screen.
        const double scale = readXftScale(display);
        changed = changed || scale != xftScale_;
        xftScale_ = scale;
      }
    }
    return changed;
  }

  const X11Connection connection_;
  const int randrEventBase_;
  const WakeEvent stopEvent_;
  double xftScale_;
  const log::Logger logger_{"App"};
};

Result<std::unique_ptr<ScreenChangeNotifier>> ScreenChangeNotifier::start(MainQueue& mainQueue, Handler onScreenParametersChanged,
                                                                          const std::string& displayName,
                                                                          LossHandler onConnectionLost) {
  using Failure = Result<std::unique_ptr<ScreenChangeNotifier>>;
  auto connection = openX11Connection(displayName);
  if (!connection) {
    return Failure::failure(connection.error());
  }
  Display* display = connection.value().get();
  int eventBase = 0;
  int errorBase = 0;
  if (!XRRQueryExtension(display, &eventBase, &errorBase)) {
    return Failure::failure("the X server has no RandR extension");
  }
  WakeEvent stopEvent;
  if (!stopEvent.isOpen()) {
    return Failure::failure(std::string("eventfd failed: ") + std::strerror(errno));
  }
  const Window root = DefaultRootWindow(display);
  XRRSelectInput(display, root, RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  XSelectInput(display, root, StructureNotifyMask | PropertyChangeMask);
  // Selected before start() returns: a change made right after it is seen.
  XSync(display, False);

  auto watch = std::make_shared<Watch>(std::move(connection.value()), eventBase, std::move(stopEvent));
  auto handler = std::make_shared<Handler>(std::move(onScreenParametersChanged));
  auto notifier = std::make_unique<ScreenChangeNotifier>(PrivateTag{}, watch, handler);
  notifier->watchThread_ = std::thread(
      [watch, &mainQueue, weakHandler = std::weak_ptr<Handler>(handler), onLost = std::move(onConnectionLost)] {
        watch->run(mainQueue, weakHandler, onLost);
      });
  return notifier;
}

ScreenChangeNotifier::ScreenChangeNotifier(PrivateTag, std::shared_ptr<Watch> watch, std::shared_ptr<Handler> handler)
    : watch_(std::move(watch)), handler_(std::move(handler)) {}

ScreenChangeNotifier::~ScreenChangeNotifier() {
  watch_->wake();
  if (watchThread_.joinable()) {
    watchThread_.join();
  }
}

}  // namespace velmora
