#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

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
// neither cancels nor waits for a task that is still running. The threads belong to one
// process-wide set, not to the task objects, so that a task may be released anywhere (also on its
// own thread) without a join there: each thread is joined once it has finished, by the next
// start(), and at process exit every task still running is cancelled and joined (waiting at most
// two seconds for all of them).
class CancellableTask {
  struct PrivateTag {};

 public:
  using Body = std::function<void(CancellationToken& token)>;
  using Completion = std::function<void()>;

  static std::shared_ptr<CancellableTask> start(Body body);

  explicit CancellableTask(PrivateTag);
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

  // Cancels every task still running and joins their threads, also of tasks they start meanwhile;
  // a task calling it does not wait for itself. A thread not finished within `limit` is logged
  // and let go (false). Runs at process exit by itself; the host may call it earlier, once
  // nothing depends on tasks finishing their work.
  static bool cancelAllAndJoin(std::chrono::milliseconds limit);

 private:
  struct State;
  class TaskThreads;
  std::shared_ptr<State> state_;  // shared with the thread, which may outlive this object
};

}  // namespace velmora
