#pragma once

#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/log/log.h"
#include "platform/wake_event.h"
#include "platform/wayland/wayland_connection.h"

namespace velmora {

// Dispatches one connection's events on a thread of its own and runs other threads' work there,
// so that the connection and every proxy on it are used by that thread alone. Stopped and joined
// when dropped; the connection outlives it.
class WaylandConnectionThread {
 public:
  // Both on the connection's thread.
  struct Hooks {
    // After the events of each dispatch were handled, before queued work runs.
    std::function<void()> afterDispatch;
    // Once, when the connection is lost, with the reason.
    std::function<void(const std::string& reason)> onLost;
  };

  WaylandConnectionThread(WaylandConnection& connection, std::string_view logCategory, Hooks hooks = {});
  ~WaylandConnectionThread();
  WaylandConnectionThread(const WaylandConnectionThread&) = delete;
  WaylandConnectionThread& operator=(const WaylandConnectionThread&) = delete;

  // Runs `task` on the connection's thread and waits for it; false (and `task` not run) once the
  // connection is lost. Any thread; on the connection's own, at once.
  bool perform(std::function<void()> task);
  // Whether the connection still works. Any thread.
  bool connected() const;

 private:
  struct Task {
    std::function<void()> work;
    std::promise<bool> ran;
  };

  void run();
  void runQueuedTasks();

  WaylandConnection& connection_;
  const log::Logger logger_;
  const Hooks hooks_;
  const WakeEvent wakeEvent_;

  mutable std::mutex tasksLock_;
  std::deque<Task> tasks_;
  bool stopping_ = false;
  bool lost_ = false;

  std::thread thread_;
};

}  // namespace velmora
