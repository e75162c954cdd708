#include "platform/dispatch/cancellable_task.h"

#include "platform/log/log.h"

#include <exception>
#include <system_error>
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
  bool finished = false;        // the function has returned
  bool threadFinished = false;  // the completions have run too; joining is then immediate
  std::vector<Completion> completions;

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

std::shared_ptr<CancellableTask> CancellableTask::start(Body body) {
  auto task = std::make_shared<CancellableTask>(PrivateTag{});
  try {
    task->thread_ = std::thread([state = task->state_, body = std::move(body)]() mutable {
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
      std::lock_guard lock(state->progressLock);
      state->threadFinished = true;
    });
  } catch (const std::system_error& error) {
    log::Logger("App").error("Could not start asynchronous task: {}", error.what());
    task->state_->token.cancel();
    task->state_->finish();
  }
  return task;
}

CancellableTask::CancellableTask(PrivateTag) : state_(std::make_shared<State>()) {}

CancellableTask::~CancellableTask() {
  if (!thread_.joinable()) {
    return;
  }
  bool threadFinished = false;
  {
    std::lock_guard lock(state_->progressLock);
    threadFinished = state_->threadFinished;
  }
  // Joining a thread that is still working could block for ever, and joining from the task's own
  // thread would deadlock; a detached thread touches only the state it shares.
  if (threadFinished && currentTaskState != state_.get()) {
    thread_.join();
  } else {
    thread_.detach();
  }
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
