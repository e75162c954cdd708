#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/main_queue.h"
#include "platform/result.h"

namespace velmora {

// Watches an X screen for configuration changes (RandR screen, CRTC and output changes, the root
// window's ConfigureNotify, which is all that adding or removing a RandR monitor produces, and a
// new Xft.dpi scale) on a connection and thread of its own. Each batch of change events that arrives together posts
// one call of the handler onto the main queue. When the X server goes away, the loss handler hears
// of it once, on the watch thread.
class ScreenChangeNotifier {
  class Watch;
  struct PrivateTag {};

 public:
  using Handler = std::function<void()>;
  using LossHandler = std::function<void(const std::string& reason)>;

  // Watching has begun when this returns. The main queue must outlive the notifier.
  static Result<std::unique_ptr<ScreenChangeNotifier>> start(MainQueue& mainQueue, Handler onScreenParametersChanged,
                                                             const std::string& displayName = {},
                                                             LossHandler onConnectionLost = {});

  // Ends the watch thread; a call already posted but not yet run is dropped.
  ~ScreenChangeNotifier();
  ScreenChangeNotifier(const ScreenChangeNotifier&) = delete;
  ScreenChangeNotifier& operator=(const ScreenChangeNotifier&) = delete;

  ScreenChangeNotifier(PrivateTag, std::shared_ptr<Watch> watch, std::shared_ptr<Handler> handler);

 private:
  std::shared_ptr<Watch> watch_;
  // Posted calls hold it weakly, so that none runs once the notifier is gone.
  std::shared_ptr<Handler> handler_;
  std::thread watchThread_;
};

}  // namespace velmora
