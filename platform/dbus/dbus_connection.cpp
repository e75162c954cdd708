#include "platform/dbus/dbus_connection.h"

#include <poll.h>

#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "platform/log/log.h"
#include "platform/wake_event.h"

namespace velmora {

DBusError::DBusError() = default;
DBusError::~DBusError() { sd_bus_error_free(&error_); }
bool DBusError::isSet() const { return sd_bus_error_is_set(&error_) != 0; }

std::string DBusError::describe(int result) const {
  if (isSet()) {
    return std::string(error_.name) + ": " + (error_.message != nullptr ? error_.message : "");
  }
  return std::strerror(result < 0 ? -result : result);
}

int readVariantDictionary(sd_bus_message* message,
                          const std::function<int(const std::string& key, const std::string& type)>& readValue) {
  int result = sd_bus_message_enter_container(message, 'a', "{sv}");
  while (result >= 0 && (result = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    const char* type = nullptr;
    result = sd_bus_message_read(message, "s", &key);
    if (result >= 0) {
      result = sd_bus_message_peek_type(message, nullptr, &type);
    }
    if (result >= 0) {
      result = readValue(key, type != nullptr ? type : "");
    }
    if (result == 0) {
      result = sd_bus_message_skip(message, "v");
    }
    if (result >= 0) {
      result = sd_bus_message_exit_container(message);
    }
  }
  return result < 0 ? result : sd_bus_message_exit_container(message);
}

struct DBusConnection::State {
  struct Task {
    const std::function<void(sd_bus*)>* work;
    std::promise<bool> done;
  };

  sd_bus* bus = nullptr;
  WakeEvent wake;
  log::Logger logger{"DBus"};

  std::mutex tasksLock;
  std::deque<Task> tasks;
  bool stopping = false;
  bool closed = false;
  std::thread thread;

  void run() {
    for (;;) {
      runTasks();
      int processed = 0;
      while ((processed = sd_bus_process(bus, nullptr)) > 0) {
      }
      if (processed < 0) {
        logger.error("The D-Bus connection failed: {}", std::strerror(-processed));
        close();
        return;
      }
      {
        std::lock_guard lock(tasksLock);
        if (stopping) {
          return;
        }
        if (!tasks.empty()) {
          continue;
        }
      }
      std::uint64_t timeoutMicroseconds = UINT64_MAX;
      sd_bus_get_timeout(bus, &timeoutMicroseconds);
      pollfd descriptors[] = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0},
                              {wake.descriptor(), POLLIN, 0}};
      int timeout = -1;
      if (timeoutMicroseconds != UINT64_MAX) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::uint64_t nowMicroseconds =
            static_cast<std::uint64_t>(now.tv_sec) * 1'000'000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
        timeout = timeoutMicroseconds <= nowMicroseconds
                      ? 0
                      : static_cast<int>(std::min<std::uint64_t>((timeoutMicroseconds - nowMicroseconds + 999) / 1000, 60'000));
      }
      poll(descriptors, 2, timeout);
      if (descriptors[1].revents != 0) {
        wake.drain();
      }
    }
  }

  void runTasks() {
    for (;;) {
      Task task;
      {
        std::lock_guard lock(tasksLock);
        if (tasks.empty()) {
          return;
        }
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      (*task.work)(bus);
      task.done.set_value(true);
    }
  }

  // On the connection's thread: every waiting task is told it did not run.
  void close() {
    std::deque<Task> refused;
    {
      std::lock_guard lock(tasksLock);
      closed = true;
      refused.swap(tasks);
    }
    for (auto& task : refused) {
      task.done.set_value(false);
    }
  }
};

Result<std::unique_ptr<DBusConnection>> DBusConnection::open(Bus bus, const std::string& address) {
  using Failure = Result<std::unique_ptr<DBusConnection>>;
  sd_bus* opened = nullptr;
  int result = 0;
  if (!address.empty()) {
    result = sd_bus_new(&opened);
    if (result >= 0) {
      result = sd_bus_set_address(opened, address.c_str());
    }
    if (result >= 0) {
      result = sd_bus_set_bus_client(opened, 1);
    }
    if (result >= 0) {
      result = sd_bus_start(opened);
    }
  } else {
    result = bus == Bus::session ? sd_bus_open_user(&opened) : sd_bus_open_system(&opened);
  }
  if (result < 0) {
    sd_bus_flush_close_unref(opened);
    return Failure::failure(std::string("no ") + (bus == Bus::session ? "session" : "system") +
                            " bus: " + std::strerror(-result));
  }
  auto connection = std::make_unique<DBusConnection>(PrivateTag{}, opened);
  if (!connection->state_->wake.isOpen()) {
    return Failure::failure(std::string("eventfd failed: ") + std::strerror(errno));
  }
  State* state = connection->state_.get();
  state->thread = std::thread([state] { state->run(); });
  return connection;
}

DBusConnection::DBusConnection(PrivateTag, sd_bus* bus) : state_(std::make_unique<State>()) { state_->bus = bus; }

DBusConnection::~DBusConnection() {
  {
    std::lock_guard lock(state_->tasksLock);
    state_->stopping = true;
  }
  state_->wake.signal();
  if (state_->thread.joinable()) {
    state_->thread.join();
  }
  state_->close();
  sd_bus_flush_close_unref(state_->bus);
}

bool DBusConnection::perform(const std::function<void(sd_bus* bus)>& task) {
  if (state_->thread.get_id() == std::this_thread::get_id()) {
    task(state_->bus);
    return true;
  }
  std::future<bool> done;
  {
    std::lock_guard lock(state_->tasksLock);
    if (state_->closed || state_->stopping) {
      return false;
    }
    state_->tasks.push_back(State::Task{&task, {}});
    done = state_->tasks.back().done.get_future();
  }
  state_->wake.signal();
  return done.get();
}

bool DBusConnection::connected() const {
  std::lock_guard lock(state_->tasksLock);
  return !state_->closed;
}

}  // namespace velmora
