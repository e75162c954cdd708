#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/laid_out_display_source.h"
#include "platform/result.h"
#include "platform/wayland/wayland_outputs.h"

namespace velmora {

class WaylandConnection;

// A compositor's outputs as displays, read on a connection and thread of its own. Frames are in the
// compositor's logical units (points) with the output's scale, fractional where the compositor
// scales so. No Wayland protocol names a primary output: the main display is the one at the
// layout's origin, else the first. Watchers hear once of each batch of output changes that arrives
// together (an output added or removed, a new mode, scale, position or name). When the compositor
// goes away, the loss handler hears of it once, on the output thread.
class WaylandDisplaySource : public LaidOutDisplaySource {
  struct PrivateTag {};

 public:
  using LossHandler = std::function<void(const std::string& reason)>;

  // Connects to `socketName` ($WAYLAND_DISPLAY when empty) and reads every output before returning.
  static Result<std::shared_ptr<WaylandDisplaySource>> open(const std::string& socketName = {},
                                                            LossHandler onConnectionLost = {});

  WaylandDisplaySource(PrivateTag, std::unique_ptr<WaylandConnection> connection, int stopDescriptor,
                       LossHandler onConnectionLost);
  ~WaylandDisplaySource() override;
  WaylandDisplaySource(const WaylandDisplaySource&) = delete;
  WaylandDisplaySource& operator=(const WaylandDisplaySource&) = delete;

 private:
  void runOnOutputThread();
  void publishOutputs();

  const std::unique_ptr<WaylandConnection> connection_;
  std::unique_ptr<WaylandOutputs> waylandOutputs_;  // output thread only, after the constructor
  const int stopDescriptor_;
  const LossHandler onConnectionLost_;
  bool outputsChanged_ = false;  // output thread only
  std::thread outputThread_;
};

}  // namespace velmora
