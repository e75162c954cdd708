#pragma once

#include <asio/io_context.hpp>

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace velmora {

// A labelled serial work queue: one thread of its own running an Asio io_context. Work posted here
// and the handlers of Asio objects bound to context() run one at a time, in order.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label);
  // shutdown(), then waits for the thread, unless called on that thread (it then finishes alone).
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Runs after all work posted before it. Dropped after shutdown().
  void post(std::function<void()> work);
  asio::io_context& context();
  bool isCurrentThread() const;
  // Stops after the work that is running now; queued work is dropped. Idempotent, any thread.
  void shutdown();
  // shutdown(), then waits until the work that is running now has returned (not on the queue's
  // own thread, where that work is the caller). Afterwards nothing runs on the queue any more, so
  // its owner may tear down what the queue's work touched.
  void shutdownAndWait();
  const std::string& label() const;

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
  std::thread thread_;
};

}  // namespace velmora
