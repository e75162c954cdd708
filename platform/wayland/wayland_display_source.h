#pragma once

#include <functional>
#include <memory>
#include <string>

#include "platform/laid_out_display_source.h"
#include "platform/result.h"
#include "platform/wayland/wayland_shared_connection.h"

namespace velmora {

// A compositor's outputs as displays, read on the family's shared connection. Frames are in the
// compositor's logical units (points) with the output's scale, fractional where the compositor
// scales so. No Wayland protocol names a primary output: the main display is the one at the
// layout's origin, else the first. Watchers hear once of each batch of output changes that arrives
// together (an output added or removed, a new mode, scale, position or name).
class WaylandDisplaySource : public LaidOutDisplaySource {
  struct PrivateTag {};

 public:
  // On a connection of its own to `socketName` ($WAYLAND_DISPLAY when empty), started here; the
  // loss handler hears once, on the connection's thread, when the compositor goes away.
  static Result<std::shared_ptr<WaylandDisplaySource>> open(const std::string& socketName = {},
                                                            WaylandSharedConnection::LossHandler onConnectionLost = {});
  // On `connection`, before it starts.
  static std::shared_ptr<WaylandDisplaySource> create(std::shared_ptr<WaylandSharedConnection> connection);

  WaylandDisplaySource(PrivateTag, std::shared_ptr<WaylandSharedConnection> connection);
  ~WaylandDisplaySource() override;
  WaylandDisplaySource(const WaylandDisplaySource&) = delete;
  WaylandDisplaySource& operator=(const WaylandDisplaySource&) = delete;

  // Makes the output named `name` the main display while it exists, for a compositor that names a
  // primary (empty: the layout's origin again). Before start, or on the connection's thread.
  void preferMainOutput(std::string name);
  // Keeps `watch` (what reports the compositor's primary output to preferMainOutput) as long as
  // this source, and drops it on the connection's thread.
  void keepPrimaryWatch(std::shared_ptr<void> watch) { primaryWatch_ = std::move(watch); }

 private:
  void publishOutputs();

  const std::shared_ptr<WaylandSharedConnection> connection_;
  int outputsWatch_ = -1;
  std::string preferredMainOutput_;  // on the connection's thread
  std::shared_ptr<void> primaryWatch_;
};

}  // namespace velmora
