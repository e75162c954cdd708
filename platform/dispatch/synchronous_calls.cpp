#include "platform/dispatch/synchronous_calls.h"

#include <condition_variable>

namespace velmora {

struct SynchronousCalls::Call {
  enum class Stage { queued, running, finished, abandoned };

  std::mutex stageLock;
  std::condition_variable stageChanged;
  Stage stage = Stage::queued;
  bool queueShutDown = false;
};

bool SynchronousCalls::run(const Work& work, bool onQueueThread, const Enqueue& enqueue) {
  if (!work || onQueueThread) {
    if (isShutDown()) {
      return false;
    }
    if (work) {
      work();
    }
    return true;
  }
  return call(work, enqueue);
}

bool SynchronousCalls::call(const Work& work, const Enqueue& enqueue) {
  auto call = std::make_shared<Call>();
  {
    std::lock_guard lock(callsLock_);
    if (isShutDown_) {
      return false;
    }
    std::erase_if(calls_, [](const std::weak_ptr<Call>& waiting) { return waiting.expired(); });
    calls_.push_back(call);
  }

  // The step refers to the caller's work on its stack; the stage tells it whether that still exists.
  enqueue([call, &work] {
    {
      std::lock_guard lock(call->stageLock);
      if (call->stage != Call::Stage::queued) {
        return;
      }
      call->stage = Call::Stage::running;
    }
    struct MarkFinished {
      Call& call;
      ~MarkFinished() {
        std::lock_guard lock(call.stageLock);
        call.stage = Call::Stage::finished;
        call.stageChanged.notify_all();
      }
    } markFinished{*call};
    work();
  });

  std::unique_lock lock(call->stageLock);
  call->stageChanged.wait(lock, [&] {
    return call->stage == Call::Stage::finished || (call->stage == Call::Stage::queued && call->queueShutDown);
  });
  if (call->stage == Call::Stage::finished) {
    return true;
  }
  call->stage = Call::Stage::abandoned;
  return false;
}

void SynchronousCalls::shutdown() {
  std::vector<std::shared_ptr<Call>> waiting;
  {
    std::lock_guard lock(callsLock_);
    isShutDown_ = true;
    for (const auto& weakCall : calls_) {
      if (auto call = weakCall.lock()) {
        waiting.push_back(std::move(call));
      }
    }
    calls_.clear();
  }
  for (const auto& call : waiting) {
    std::lock_guard lock(call->stageLock);
    call->queueShutDown = true;
    call->stageChanged.notify_all();
  }
}

bool SynchronousCalls::isShutDown() const {
  std::lock_guard lock(callsLock_);
  return isShutDown_;
}

}  // namespace velmora
