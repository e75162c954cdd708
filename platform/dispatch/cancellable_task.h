#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace velmora {

// What a task's function checks to end early. Thread-safe.
class CancellationToken {
 public:
  using Duration = std::chrono::steady_clock::duration;

  bool isCancelled() const;
  // Sleeps for `duration` or until cancelled; true when it slept the whole time, false when
  // cancelled (at once if already cancelled).
  bool sleepFor(Duration duration);
  void cancel();

 private:
  mutable std::mutex cancelledLock_;
  std::condition_variable cancelledChanged_;
  bool cancelled_ = false;
};

// A function run on a thread of its own with a cancellation token. Dropping the last reference
// neither cancels nor waits for a task that is still running: its thread finishes on its own.
class CancellableTask {
  struct PrivateTag {};

 public:
  using Body = std::function<void(CancellationToken& token)>;
  using Completion = std::function<void()>;

  static std::shared_ptr<CancellableTask> start(Body body);

  explicit CancellableTask(PrivateTag);
  ~CancellableTask();
  CancellableTask(const CancellableTask&) = delete;
  CancellableTask& operator=(const CancellableTask&) = delete;

  void cancel();
  bool isCancelled() const;
  bool isFinished() const;
  // Blocks until the function has returned. Returns at once when called from the function itself
  // (which would otherwise wait for ever); completions may call it.
  void wait();
  // Runs once the function has returned, on the task's thread; when it already has, runs now on
  // the calling thread.
  void onCompletion(Completion completion);

 private:
  struct State;
  std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
  std::thread thread_;
};

}  // namespace velmora
