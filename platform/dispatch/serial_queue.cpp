#include "platform/dispatch/serial_queue.h"

#include "platform/log/log.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <pthread.h>

#include <atomic>
#include <exception>

namespace velmora {
namespace {

thread_local const void* currentSerialQueue = nullptr;

// Thread names are limited to 15 bytes; the end of a reverse-DNS label tells queues apart.
void nameThisThread(const std::string& label) {
  constexpr std::size_t kMaximumThreadNameLength = 15;
  const std::string name = label.size() > kMaximumThreadNameLength ? label.substr(label.size() - kMaximumThreadNameLength) : label;
  pthread_setname_np(pthread_self(), name.c_str());
}

}  // namespace

struct SerialQueue::State {
  explicit State(std::string queueLabel) : label(std::move(queueLabel)) {}

  const std::string label;
  // The default concurrency hint: with hint 1 Asio defers work posted from the queue's own thread
  // until the running item returns, so it could run after work that other threads posted later.
  asio::io_context context;
  asio::executor_work_guard<asio::io_context::executor_type> keepRunning{context.get_executor()};
  std::atomic<bool> isShutDown{false};
};

SerialQueue::SerialQueue(std::string label) : state_(std::make_shared<State>(std::move(label))) {
  thread_ = std::thread([state = state_] {
    currentSerialQueue = state.get();
    nameThisThread(state->label);
    for (;;) {
      try {
        state->context.run();
        return;
      } catch (const std::exception& error) {
        log::Logger("App").error("Uncaught exception on queue {}: {}", state->label, error.what());
      } catch (...) {
        log::Logger("App").error("Uncaught exception on queue {}", state->label);
      }
    }
  });
}

SerialQueue::~SerialQueue() {
  shutdown();
  if (!thread_.joinable()) {
    return;
  }
  if (isCurrentThread()) {
    // Destroyed by its own work: the thread still holds the state and ends once that work returns.
    thread_.detach();
  } else {
    thread_.join();
  }
}

void SerialQueue::shutdownAndWait() {
  shutdown();
  if (thread_.joinable() && !isCurrentThread()) {
    thread_.join();
  }
}

void SerialQueue::post(std::function<void()> work) {
  if (!work || state_->isShutDown) {
    return;
  }
  asio::post(state_->context, std::move(work));
}

asio::io_context& SerialQueue::context() { return state_->context; }

bool SerialQueue::isCurrentThread() const { return currentSerialQueue == state_.get(); }

void SerialQueue::shutdown() {
  state_->isShutDown = true;
  state_->context.stop();
}

const std::string& SerialQueue::label() const { return state_->label; }

}  // namespace velmora
