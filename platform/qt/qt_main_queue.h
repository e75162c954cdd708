#pragma once

#include "platform/dispatch/synchronous_calls.h"
#include "platform/main_queue.h"

#include <QObject>

#include <atomic>
#include <memory>
#include <thread>

namespace velmora {

// The tray application's main queue: work runs on Qt's event loop, on the thread that owns the
// QApplication. Create it on that thread, after the application object.
class QtMainQueue final : public MainQueue {
 public:
  QtMainQueue();
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  // Runs the application's event loop until shutdown(); returns at once after it.
  void run();

  void post(Work work) override;
  void postAfter(Duration delay, Work work) override;
  bool isCurrentThread() const override;
  bool runSync(Work work) override;
  void shutdown() override;

 private:
  void enqueue(Work work);
  void startTimer(Duration delay, Work work);
  void runUnlessShutDown(const Work& work) const;

  // Queued calls and timers belong to this object: they die with it, never run after it.
  std::unique_ptr<QObject> context_;
  const std::thread::id mainThread_;
  std::atomic<bool> isShutDown_{false};
  SynchronousCalls synchronousCalls_;
};

}  // namespace velmora
