#include "platform/wayland/wayland_connection_thread.h"

#include <array>
#include <vector>

namespace velmora {

WaylandConnectionThread::WaylandConnectionThread(WaylandConnection& connection, std::string_view logCategory,
                                                 Hooks hooks)
    : connection_(connection),
      logger_(logCategory),
      hooks_(std::move(hooks)) {
  thread_ = std::thread([this] { run(); });
}

WaylandConnectionThread::~WaylandConnectionThread() {
  {
    std::lock_guard lock(tasksLock_);
    stopping_ = true;
  }
  wakeEvent_.signal();
  thread_.join();
}

bool WaylandConnectionThread::perform(std::function<void()> task) {
  if (std::this_thread::get_id() == thread_.get_id()) {
    task();
    return true;
  }
  std::future<bool> ran;
  {
    std::lock_guard lock(tasksLock_);
    if (lost_ || stopping_) {
      return false;
    }
    tasks_.push_back(Task{std::move(task), {}});
    ran = tasks_.back().ran.get_future();
  }
  wakeEvent_.signal();
  return ran.get();
}

bool WaylandConnectionThread::connected() const {
  std::lock_guard lock(tasksLock_);
  return !lost_;
}

void WaylandConnectionThread::run() {
  const std::array<int, 1> wake = {wakeEvent_.descriptor()};
  std::vector<bool> woken;
  while (true) {
    {
      std::lock_guard lock(tasksLock_);
      if (stopping_) {
        break;
      }
    }
    if (!connection_.dispatch(std::nullopt, wake, &woken)) {
      const auto reason = connection_.lostReason().value_or("connection closed");
      logger_.error("Lost the Wayland compositor: {}", reason);
      if (hooks_.onLost) {
        hooks_.onLost(reason);
      }
      break;
    }
    if (woken[0]) {
      wakeEvent_.drain();
    }
    if (hooks_.afterDispatch) {
      hooks_.afterDispatch();
    }
    runQueuedTasks();
  }
  // Whoever waits for a task that will never run hears so.
  std::lock_guard lock(tasksLock_);
  lost_ = true;
  for (auto& task : tasks_) {
    task.ran.set_value(false);
  }
  tasks_.clear();
}

void WaylandConnectionThread::runQueuedTasks() {
  while (true) {
    Task task;
    {
      std::lock_guard lock(tasksLock_);
      if (tasks_.empty()) {
        return;
      }
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task.work();
    task.ran.set_value(true);
  }
}

}  // namespace velmora
