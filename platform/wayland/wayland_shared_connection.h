#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/result.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_connection_thread.h"
#include "platform/wayland/wayland_outputs.h"

namespace velmora {

// The wlroots family's one connection for its display source, input and clipboard: one registry,
// one list of outputs, and one thread that dispatches the events and runs the others' requests.
// They set up their proxies on the opening thread before start(); from then on the connection and
// the outputs are used on its thread alone, through perform(). Capture streams keep connections of
// their own: each stream's thread waits in its own dispatch for the compositor's next copy, and on
// a shared thread one stream's wait, or a large copy, would hold input and the other streams.
class WaylandSharedConnection {
  struct PrivateTag {};

 public:
  using LossHandler = std::function<void(const std::string& reason)>;

  // Connects to `socketName` ($WAYLAND_DISPLAY when empty) and reads every output. `onLost` hears,
  // once and on the connection's thread, that the compositor went away.
  static Result<std::shared_ptr<WaylandSharedConnection>> open(const std::string& socketName = {},
                                                               LossHandler onLost = {});

  WaylandSharedConnection(PrivateTag, std::unique_ptr<WaylandConnection> connection, LossHandler onLost);
  ~WaylandSharedConnection();
  WaylandSharedConnection(const WaylandSharedConnection&) = delete;
  WaylandSharedConnection& operator=(const WaylandSharedConnection&) = delete;

  // Before start(), or on the connection's thread.
  WaylandConnection& connection() { return *connection_; }
  WaylandOutputs& outputs() { return *outputs_; }

  // Hands the connection to its thread. The opening thread, once.
  void start();
  // Runs `task` on the connection's thread and waits; false (not run) once the compositor is gone.
  // Any thread.
  bool perform(std::function<void()> task);
  // Runs `task` where the connection may be used now: on its thread while that runs, else here. For
  // proxies that must go whether or not the compositor is still there. Any thread.
  void performOrRunHere(const std::function<void()>& task);
  // Whether the compositor is still there. Any thread.
  bool connected() const;

  // `onChange` runs on the connection's thread after each dispatch in which an output came, went
  // or changed, until the returned key is passed to stopWatchingOutputs(). Before start(), or on
  // the connection's thread.
  int watchOutputs(std::function<void()> onChange);
  void stopWatchingOutputs(int key);

 private:
  void announceOutputChanges();

  const std::unique_ptr<WaylandConnection> connection_;
  std::unique_ptr<WaylandOutputs> outputs_;
  const LossHandler onLost_;
  // Connection thread only (or the opening thread before start()).
  bool outputsChanged_ = false;
  std::map<int, std::function<void()>> outputWatchers_;
  int nextWatcherKey_ = 0;
  // Declared last: stopped first, before what it uses goes.
  std::unique_ptr<WaylandConnectionThread> thread_;
};

}  // namespace velmora
