#pragma once

#include <functional>
#include <memory>
#include <type_traits>

#include "control/control_channel_server.h"
#include "platform/display_source.h"
#include "platform/main_queue.h"

namespace velmora {

class StatusBarController;

// A callback for another thread: it queues `method`, with copies of its arguments, onto the main
// queue, where it runs only if the target still exists then.
template <class Target, class... Parameters>
std::function<void(Parameters...)> postedToMainQueue(MainQueue& mainQueue, std::weak_ptr<Target> target,
                                                     void (Target::*method)(Parameters...)) {
  return [target = std::move(target), &mainQueue, method](Parameters... arguments) {
    mainQueue.post([target, method, ... copies = std::decay_t<Parameters>(arguments)] {
      if (auto self = target.lock()) {
        ((*self).*method)(copies...);
      }
    });
  };
}

// The control server's reports, turned into the controller's: each callback does its small
// network-queue step (the video server's admission, a log line, the input queue) and queues the
// rest to the main thread in the order the reports came.
ControlChannelServer::Callbacks controlServerCallbacks(const std::shared_ptr<StatusBarController>& controller,
                                                       MainQueue& mainQueue, std::shared_ptr<DisplaySource> displays);

}  // namespace velmora
