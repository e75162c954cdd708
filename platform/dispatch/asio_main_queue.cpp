#include "platform/dispatch/asio_main_queue.h"

#include "platform/dispatch/timer.h"
#include "platform/log/log.h"

#include <asio/post.hpp>

#include <exception>

namespace velmora {

AsioMainQueue::AsioMainQueue() : keepRunning_(context_.get_executor()), mainThread_(std::this_thread::get_id()) {}

AsioMainQueue::~AsioMainQueue() { shutdown(); }

void AsioMainQueue::run() {
  if (isShutDown_) {
    return;
  }
  mainThread_ = std::this_thread::get_id();
  for (;;) {
    try {
      context_.run();
      return;
    } catch (const std::exception& error) {
      log::Logger("App").error("Uncaught exception on the main queue: {}", error.what());
    } catch (...) {
      log::Logger("App").error("Uncaught exception on the main queue");
    }
  }
}

asio::io_context& AsioMainQueue::context() { return context_; }

void AsioMainQueue::post(Work work) {
  if (!work || isShutDown_) {
    return;
  }
  asio::post(context_, std::move(work));
}

void AsioMainQueue::postAfter(Duration delay, Work work) {
  if (!work || isShutDown_) {
    return;
  }
  Timer::once(context_, delay, std::move(work));
}

bool AsioMainQueue::isCurrentThread() const { return mainThread_.load() == std::this_thread::get_id(); }

bool AsioMainQueue::runSync(Work work) {
  return synchronousCalls_.run(work, isCurrentThread(), [this](Work step) { asio::post(context_, std::move(step)); });
}

void AsioMainQueue::shutdown() {
  isShutDown_ = true;
  context_.stop();
  synchronousCalls_.shutdown();
}

}  // namespace velmora
