#include "platform/dispatch/cancellable_task.h"

#include "platform/log/log.h"

#include <atomic>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace velmora {

bool CancellationToken::isCancelled() const {
  std::lock_guard lock(cancelledLock_);
  return cancelled_;
}

bool CancellationToken::sleepFor(Duration duration) {
  const auto now = std::chrono::steady_clock::now();
  const auto deadline = duration < std::chrono::steady_clock::time_point::max() - now ? now + duration
                                                                                     : std::chrono::steady_clock::time_point::max();
  std::unique_lock lock(cancelledLock_);
  return !cancelledChanged_.wait_until(lock, deadline, [&] { return cancelled_; });
}

void CancellationToken::cancel() {
  {
    std::lock_guard lock(cancelledLock_);
    cancelled_ = true;
  }
  cancelledChanged_.notify_all();
}

namespace {

thread_local const void* currentTaskState = nullptr;

}  // namespace

struct CancellableTask::State {
  CancellationToken token;

  std::mutex progressLock;  // guards the fields below
  std::condition_variable finishedChanged;
  bool finished = false;  // the function has returned
  std::vector<Completion> completions;
  // The completions have run too; joining is then immediate. Written under progressLock (for
  // finishedChanged), read without it by the thread set, which holds its own lock.
  std::atomic<bool> threadFinished = false;

  void finish() {
    std::vector<Completion> toRun;
    {
      std::lock_guard lock(progressLock);
      finished = true;
      toRun.swap(completions);
    }
    finishedChanged.notify_all();
    for (auto& completion : toRun) {
      try {
        completion();
      } catch (const std::exception& error) {
        log::Logger("App").error("Uncaught exception in a task completion: {}", error.what());
      }
    }
  }
};

// Every task thread not joined yet. Whoever next finds a thread finished joins it, and this
// object's destructor, among the process's last acts, cancels and joins what still runs, so a
// task's thread does not go on while the process's static objects are torn down.
class CancellableTask::TaskThreads {
 public:
  static TaskThreads& instance() {
    static TaskThreads threads;
    return threads;
  }

  TaskThreads() = default;
  ~TaskThreads() {
    cancelAllAndJoin(kJoinLimitAtExit);
    for (auto& running : threads_) {
      running.thread.detach();  // only a task that called exit() itself is left, on this thread
    }
  }
  TaskThreads(const TaskThreads&) = delete;
  TaskThreads& operator=(const TaskThreads&) = delete;

  void add(std::thread thread, std::shared_ptr<State> state) {
    std::vector<Running> finished;
    bool startsCancelled = false;
    {
      std::lock_guard lock(threadsLock_);
      finished = takeLocked([](State& running) { return running.threadFinished.load(); });
      startsCancelled = cancellingAll_ > 0;
      threads_.push_back(Running{std::move(thread), state});
    }
    if (startsCancelled) {
      state->token.cancel();
    }
    for (auto& running : finished) {
      running.thread.join();  // immediate: the thread has nothing left to do
    }
  }

  bool cancelAllAndJoin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    {
      std::lock_guard lock(threadsLock_);
      ++cancellingAll_;
    }
    bool allJoined = true;
    // Repeated because a task may start another while it winds down.
    for (;;) {
      std::vector<Running> running;
      {
        std::lock_guard lock(threadsLock_);
        running = takeLocked([](State& task) { return &task != currentTaskState; });
      }
      if (running.empty()) {
        break;
      }
      for (auto& task : running) {
        task.state->token.cancel();
      }
      for (auto& task : running) {
        allJoined = joinBy(task, deadline) && allJoined;
      }
    }
    std::lock_guard lock(threadsLock_);
    --cancellingAll_;
    return allJoined;
  }

 private:
  // Long enough for any task that honours its token and whose platform calls answer.
  static constexpr std::chrono::milliseconds kJoinLimitAtExit{2000};

  struct Running {
    std::thread thread;
    std::shared_ptr<State> state;
  };

  // A task stuck in a platform call that never answers would hold the process for ever; past the
  // deadline it is said and left to end with the process, the one case where a thread is let go.
  static bool joinBy(Running& task, std::chrono::steady_clock::time_point deadline) {
    {
      std::unique_lock lock(task.state->progressLock);
      if (!task.state->finishedChanged.wait_until(lock, deadline, [&] { return task.state->threadFinished.load(); })) {
        lock.unlock();
        log::Logger("App").error("Asynchronous task did not end when cancelled; leaving it to the process exit");
        task.thread.detach();
        return false;
      }
    }
    task.thread.join();
    return true;
  }

  // The caller holds threadsLock_.
  template <class Predicate>
  std::vector<Running> takeLocked(Predicate taken) {
    std::vector<Running> matching;
    std::vector<Running> kept;
    for (auto& running : threads_) {
      (taken(*running.state) ? matching : kept).push_back(std::move(running));
    }
    threads_ = std::move(kept);
    return matching;
  }

  std::mutex threadsLock_;  // guards the fields below
  std::vector<Running> threads_;
  int cancellingAll_ = 0;  // callers of cancelAllAndJoin() under way; new tasks start cancelled
};

std::shared_ptr<CancellableTask> CancellableTask::start(Body body) {
  auto task = std::make_shared<CancellableTask>(PrivateTag{});
  try {
    std::thread thread([state = task->state_, body = std::move(body)]() mutable {
      currentTaskState = state.get();
      try {
        if (body) {
          body(state->token);
        }
      } catch (const std::exception& error) {
        log::Logger("App").error("Uncaught exception in asynchronous task: {}", error.what());
      } catch (...) {
        log::Logger("App").error("Uncaught exception in asynchronous task");
      }
      body = nullptr;  // what the function holds is released before the completions run
      state->finish();
      {
        std::lock_guard lock(state->progressLock);
        state->threadFinished = true;
      }
      state->finishedChanged.notify_all();
    });
    TaskThreads::instance().add(std::move(thread), task->state_);
  } catch (const std::system_error& error) {
    log::Logger("App").error("Could not start asynchronous task: {}", error.what());
    task->state_->token.cancel();
    task->state_->finish();
  }
  return task;
}

CancellableTask::CancellableTask(PrivateTag) : state_(std::make_shared<State>()) {}

bool CancellableTask::cancelAllAndJoin(std::chrono::milliseconds limit) {
  return TaskThreads::instance().cancelAllAndJoin(limit);
}

void CancellableTask::cancel() { state_->token.cancel(); }

bool CancellableTask::isCancelled() const { return state_->token.isCancelled(); }

bool CancellableTask::isFinished() const {
  std::lock_guard lock(state_->progressLock);
  return state_->finished;
}

void CancellableTask::wait() {
  std::unique_lock lock(state_->progressLock);
  if (!state_->finished && currentTaskState == state_.get()) {
    lock.unlock();
    log::Logger("App").error("Asynchronous task waited for itself; not waiting");
    return;
  }
  state_->finishedChanged.wait(lock, [&] { return state_->finished; });
}

void CancellableTask::onCompletion(Completion completion) {
  if (!completion) {
    return;
  }
  {
    std::lock_guard lock(state_->progressLock);
    if (!state_->finished) {
      state_->completions.push_back(std::move(completion));
      return;
    }
  }
  completion();
}

}  // namespace velmora
