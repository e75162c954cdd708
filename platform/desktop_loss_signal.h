#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/main_queue.h"

namespace velmora {

// How a backend family says that its desktop went away (the X server or the compositor ended its
// connection): the family's connection reports, the host watches. The first report is the one
// that counts. Any thread.
class DesktopLossSignal {
 public:
  using Handler = std::function<void(const std::string& reason)>;

  // From the thread that noticed the loss; later reports are ignored.
  void report(const std::string& reason);
  // Posts `onLost` onto `mainQueue` once, at the first report (at once when it was made already),
  // unless the returned watch was dropped by the time it runs. The main queue must outlive it.
  std::shared_ptr<void> watch(MainQueue& mainQueue, Handler onLost);

 private:
  struct Watcher {
    MainQueue& mainQueue;
    Handler onLost;
  };
  static void notify(const std::shared_ptr<Watcher>& watcher, const std::string& reason);

  std::mutex stateLock_;  // guards the reason and the watchers
  std::optional<std::string> lostReason_;
  std::vector<std::weak_ptr<Watcher>> watchers_;
};

}  // namespace velmora
