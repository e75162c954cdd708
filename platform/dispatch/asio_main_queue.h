#pragma once

#include "platform/dispatch/synchronous_calls.h"
#include "platform/main_queue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <thread>

namespace velmora {

// The headless main queue: an io_context that run() drives on the calling thread.
class AsioMainQueue final : public MainQueue {
 public:
  // The creating thread counts as the main thread until run() is called on another one.
  AsioMainQueue();
  ~AsioMainQueue() override;
  AsioMainQueue(const AsioMainQueue&) = delete;
  AsioMainQueue& operator=(const AsioMainQueue&) = delete;

  // Runs queued work on the calling thread until shutdown(); returns at once after it.
  void run();
  // For Asio objects (signal sets, sockets) whose handlers must run on the main thread.
  asio::io_context& context();

  void post(Work work) override;
  void postAfter(Duration delay, Work work) override;
  bool isCurrentThread() const override;
  bool runSync(Work work) override;
  void shutdown() override;

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> keepRunning_;
  std::atomic<std::thread::id> mainThread_;
  std::atomic<bool> isShutDown_{false};
  SynchronousCalls synchronousCalls_;
};

}  // namespace velmora
