#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/display_source.h"
#include "platform/main_queue.h"
#include "platform/result.h"
#include "platform/wayland/wayland_outputs.h"

namespace velmora {

class WaylandConnection;

// A compositor's outputs as displays, read on a connection and thread of its own and kept as a
// snapshot that the DisplaySource calls read. Frames are in the compositor's logical units (points)
// with the output's scale, fractional where the compositor scales so. No Wayland protocol names a
// primary output: the main display is the one at the layout's origin, else the first. An output at
// the same logical rectangle as an earlier one mirrors it.
class WaylandDisplaySource : public DisplaySource {
  struct PrivateTag {};
  struct Watcher;

 public:
  // Connects to `socketName` ($WAYLAND_DISPLAY when empty) and reads every output before returning.
  static Result<std::shared_ptr<WaylandDisplaySource>> open(const std::string& socketName = {});

  WaylandDisplaySource(PrivateTag, std::unique_ptr<WaylandConnection> connection, int stopDescriptor);
  ~WaylandDisplaySource() override;
  WaylandDisplaySource(const WaylandDisplaySource&) = delete;
  WaylandDisplaySource& operator=(const WaylandDisplaySource&) = delete;

  // Any thread.
  std::vector<ScreenDescription> screens() const override;
  std::uint32_t mainDisplayID() const override;
  std::vector<std::uint32_t> activeDisplayIDs() const override;
  std::uint32_t mirroredDisplayID(std::uint32_t displayID) const override;
  // The outputs as last described, in the order the compositor announced them.
  std::vector<WaylandOutput> outputs() const;

  // Posts `onChange` onto `mainQueue` once for each batch of output changes that arrives together
  // (an output added or removed, a new mode, scale, position or name) until the returned watch is
  // dropped; a call posted but not yet run then is dropped too. Any thread; the main queue must
  // outlive the watch.
  std::shared_ptr<void> watchChanges(MainQueue& mainQueue, std::function<void()> onChange);

 private:
  void runOnOutputThread();
  void publishChanges();

  const std::unique_ptr<WaylandConnection> connection_;
  std::unique_ptr<WaylandOutputs> waylandOutputs_;  // output thread only, after the constructor
  const int stopDescriptor_;
  bool outputsChanged_ = false;  // output thread only
  mutable std::mutex snapshotLock_;  // guards outputs_ and watchers_
  std::vector<WaylandOutput> outputs_;
  std::vector<std::weak_ptr<Watcher>> watchers_;
  std::thread outputThread_;
};

}  // namespace velmora
