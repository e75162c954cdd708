#include "video/screen_capture_service.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <limits>
#include <utility>

namespace velmora {
namespace {

constexpr int kStreamQueueDepth = 3;
constexpr const char* kNoAnswer = "the capture platform dropped the request without an answer";

// Runs a request whose completion may come on any thread, or never (a backend that drops it),
// and waits for the answer; nothing when the completion was dropped unanswered.
template <class Answer, class Request>
std::optional<Answer> waitForAnswer(Request&& request) {
  auto promise = std::make_shared<std::promise<Answer>>();
  auto answered = std::make_shared<std::atomic<bool>>(false);
  auto future = promise->get_future();
  request([promise, answered](Answer answer) {
    if (!answered->exchange(true)) {
      promise->set_value(std::move(answer));
    }
  });
  try {
    return future.get();
  } catch (const std::future_error&) {
    return std::nullopt;
  }
}

std::optional<std::string> stopAndWait(ScreenCaptureStream& stream) {
  const auto answer = waitForAnswer<std::optional<std::string>>(
      [&](ScreenCaptureStream::Completion completion) { stream.stopCapture(std::move(completion)); });
  return answer ? *answer : std::optional<std::string>(kNoAnswer);
}


}  // namespace

std::string_view captureStateName(CaptureState state) {
  switch (state) {
    case CaptureState::idle:
      return "idle";
    case CaptureState::starting:
      return "starting";
    case CaptureState::running:
      return "running";
  }
  return "unknown";
}

std::shared_ptr<ScreenCaptureService> ScreenCaptureService::create(Dependencies dependencies) {
  return std::make_shared<ScreenCaptureService>(PrivateTag{}, std::move(dependencies));
}

ScreenCaptureService::ScreenCaptureService(PrivateTag, Dependencies dependencies)
    : mainQueue_(dependencies.mainQueue),
      backend_(std::move(dependencies.backend)),
      timing_(dependencies.timing),
      configuration_(defaultCaptureConfiguration(dependencies.displays)) {}

void ScreenCaptureService::setTargetDisplayID(std::optional<std::uint32_t> displayID) {
  std::lock_guard lock(targetDisplayIDLock_);
  targetDisplayID_ = displayID;
}

std::optional<std::uint32_t> ScreenCaptureService::targetDisplayID() const {
  std::lock_guard lock(targetDisplayIDLock_);
  return targetDisplayID_;
}

void ScreenCaptureService::setConfiguration(const CaptureConfiguration& configuration) {
  std::lock_guard lock(configurationLock_);
  configuration_ = configuration;
}

CaptureConfiguration ScreenCaptureService::configuration() const {
  std::lock_guard lock(configurationLock_);
  return configuration_;
}

void ScreenCaptureService::setOnSampleBuffer(SampleBufferHandler handler) {
  auto shared = handler ? std::make_shared<const SampleBufferHandler>(std::move(handler)) : nullptr;
  std::lock_guard lock(onSampleBufferLock_);
  onSampleBuffer_ = std::move(shared);
}

void ScreenCaptureService::setOnCaptureStateChanged(CaptureStateHandler handler) {
  onCaptureStateChanged_ = std::move(handler);
}

CaptureState ScreenCaptureService::captureState() const {
  std::lock_guard lock(stateLock_);
  return captureState_;
}

std::int64_t ScreenCaptureService::frameCount() const {
  std::lock_guard lock(stateLock_);
  return frameCount_;
}

void ScreenCaptureService::start() {
  const auto barrier = stopBarrier_;
  if (const auto previous = takeStartTask(); previous.task) {
    previous.task->cancel();
  }
  updateCaptureState(CaptureState::starting);

  // The slot holds the number before the task exists, so that a task that ends at once finds
  // itself current and clears the slot rather than leaving a finished task behind.
  const std::uint64_t number = ++lastStartTaskNumber_;
  {
    std::lock_guard lock(startTaskLock_);
    startTask_ = StartTaskSlot{nullptr, number};
  }
  auto task = CancellableTask::start([weakService = weak_from_this(), barrier, number](CancellationToken& token) {
    runStartTask(weakService, barrier, number, token);
  });
  std::lock_guard lock(startTaskLock_);
  if (startTask_.number == number) {
    startTask_.task = std::move(task);
  }
}

void ScreenCaptureService::runStartTask(const std::weak_ptr<ScreenCaptureService>& weakService,
                                        const std::shared_ptr<CancellableTask>& barrier, std::uint64_t taskNumber,
                                        CancellationToken& token) {
  if (barrier) {
    barrier->wait();
  }
  if (token.isCancelled()) {
    return;
  }
  const auto service = weakService.lock();
  if (!service) {
    return;
  }
  if (!service->backend_->hasScreenCaptureAccess()) {
    service->logger_.info("Requesting screen capture permission...");
    service->backend_->requestScreenCaptureAccess();
  }
  if (token.isCancelled()) {
    return;
  }

  for (int attempt = 1;; ++attempt) {
    service->logger_.info("Starting capture attempt {}...", attempt);
    if (service->startCapture(token)) {
      service->clearStartTask(taskNumber);
      return;
    }
    if (token.isCancelled()) {
      return;
    }
    service->logger_.info("Capture attempt {} failed, retrying...", attempt);
    token.sleepFor(service->timing_.pauseAfterFailedAttempt);
    // Deliberately before the cancellation check: the last failure is reported even when a stop
    // cut its pause short. Only a task that is still current may touch the state, though: a
    // newer start() owns it otherwise. The slot is cleared last, so that a stop() that finds it
    // empty knows this task is done with the service.
    if (attempt >= service->timing_.maximumStartAttempts) {
      service->logger_.error("All capture attempts failed");
      if (service->isCurrentStartTask(taskNumber)) {
        service->updateCaptureState(CaptureState::idle);
        service->clearStartTask(taskNumber);
      }
      return;
    }
    if (token.isCancelled()) {
      return;
    }
  }
}

bool ScreenCaptureService::startCapture(const CancellationToken& token) {
  const auto content = waitForAnswer<Result<CapturableDisplays>>(
      [&](ScreenCaptureBackend::CapturableDisplaysCompletion completion) { backend_->listCapturableDisplays(std::move(completion)); });
  if (!content || !content->ok()) {
    logger_.error("Capture failed: {}", content ? content->error() : std::string(kNoAnswer));
    return false;
  }
  const auto target = targetDisplayID();
  if (!target) {
    logger_.error("No target display ID configured");
    return false;
  }
  const auto& displayIDs = content->value().displayIDs;
  const auto match = std::find(displayIDs.begin(), displayIDs.end(), *target);
  if (match == displayIDs.end()) {
    logger_.error("Requested display ID {} is not available in ScreenCaptureKit displays", *target);
    return false;
  }
  const std::uint32_t displayID = *match;
  logger_.info("Capturing display ID={} (target={}, match={})", displayID, *target, displayID == *target ? 1 : 0);

  const CaptureConfiguration captured = configuration();
  auto stream = backend_->makeStream(displayID, streamConfiguration(captured), weak_from_this());
  if (!stream) {
    logger_.error("Capture failed: {}", "the capture platform could not create a stream");
    return false;
  }
  if (const auto error = stream->addStreamOutput(weak_from_this(), SampleOutputType::screen)) {
    logger_.error("Capture failed: {}", *error);
    return false;
  }
  const auto startAnswer = waitForAnswer<std::optional<std::string>>(
      [&](ScreenCaptureStream::Completion completion) { stream->startCapture(std::move(completion)); });
  if (!startAnswer || *startAnswer) {
    logger_.error("Capture failed: {}", startAnswer ? **startAnswer : std::string(kNoAnswer));
    return false;
  }

  if (token.isCancelled()) {
    logger_.info("Start cancelled after startCapture returned — tearing down new stream");
    stopAndWait(*stream);
    return false;
  }
  storeStream(std::move(stream));
  if (!markRunningUnlessCancelled(token)) {
    // A stop came after the check above; its stop task waits for this one and stops the stream.
    return false;
  }
  logger_.info("Screen capture started: {}x{}@{}fps", captured.width, captured.height, captured.frameRate);
  return true;
}

ScreenCaptureStreamConfiguration ScreenCaptureService::streamConfiguration(const CaptureConfiguration& captured) {
  ScreenCaptureStreamConfiguration stream;
  stream.width = captured.width;
  stream.height = captured.height;
  // The interval is 1 over the frame rate as a timescale, which must fit 32 bits.
  stream.minimumFrameInterval = MediaTime{
      1, static_cast<std::int32_t>(std::clamp<std::int64_t>(captured.frameRate, 1, std::numeric_limits<std::int32_t>::max()))};
  stream.pixelFormat = captured.pixelFormat;
  stream.queueDepth = kStreamQueueDepth;
  stream.showsCursor = true;
  stream.pacedByConsumer = captured.pacedByConsumer;
  return stream;
}

std::shared_ptr<CancellableTask> ScreenCaptureService::stop() {
  const StartTaskSlot startTask = takeStartTask();
  if (startTask.task) {
    startTask.task->cancel();
  }
  auto stream = takeStream();
  setOnSampleBuffer(nullptr);
  updateCaptureState(CaptureState::idle);

  const auto previousBarrier = stopBarrier_;
  if (!previousBarrier && !startTask.task && !stream) {
    return nullptr;
  }
  // The task holds the service until the stream has answered, so that a stream that a start
  // task is still storing is stopped too.
  stopBarrier_ = CancellableTask::start([service = shared_from_this(), previousBarrier, startTask = startTask.task,
                                         stream = std::move(stream)](CancellationToken&) mutable {
    runStopTask(service, previousBarrier, startTask, std::move(stream));
  });
  return stopBarrier_;
}

void ScreenCaptureService::runStopTask(const std::shared_ptr<ScreenCaptureService>& service,
                                       const std::shared_ptr<CancellableTask>& previousBarrier,
                                       const std::shared_ptr<CancellableTask>& startTask,
                                       std::shared_ptr<ScreenCaptureStream> stream) {
  if (previousBarrier) {
    previousBarrier->wait();
  }
  if (startTask) {
    startTask->wait();
    if (!stream) {
      stream = service->takeStream();
    }
  }
  if (stream) {
    stopAndWait(*stream);  // an error here changes nothing: the stream is gone either way
  }
}

void ScreenCaptureService::streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer, SampleOutputType type) {
  if (type != SampleOutputType::screen || !sampleBuffer.isValid) {
    return;
  }
  std::int64_t frameNumber = 0;
  {
    std::lock_guard lock(stateLock_);
    frameNumber = ++frameCount_;
  }
  if (log::isLoggedOccurrence(frameNumber)) {
    logger_.debug("Captured frame #{}", frameNumber);
  }
  std::shared_ptr<const SampleBufferHandler> handler;
  {
    std::lock_guard lock(onSampleBufferLock_);
    handler = onSampleBuffer_;
  }
  if (handler) {
    (*handler)(sampleBuffer);
  }
}

void ScreenCaptureService::streamDidStopWithError(const std::string& errorDescription) {
  logger_.error("Stream stopped with error: {}", errorDescription);
  takeStream();
  updateCaptureState(CaptureState::idle);
}

void ScreenCaptureService::updateCaptureState(CaptureState newState) {
  CaptureState oldState;
  {
    std::lock_guard lock(stateLock_);
    oldState = std::exchange(captureState_, newState);
  }
  reportStateChange(oldState, newState);
}

bool ScreenCaptureService::markRunningUnlessCancelled(const CancellationToken& token) {
  CaptureState oldState;
  {
    // stop() cancels before it sets the state idle under this lock: either it sees running here
    // and ends it, or this check sees the cancellation.
    std::lock_guard lock(stateLock_);
    if (token.isCancelled()) {
      return false;
    }
    oldState = std::exchange(captureState_, CaptureState::running);
  }
  reportStateChange(oldState, CaptureState::running);
  return true;
}

void ScreenCaptureService::reportStateChange(CaptureState oldState, CaptureState newState) {
  if (oldState == newState) {
    return;
  }
  logger_.debug("Capture state: {} -> {}", captureStateName(oldState), captureStateName(newState));
  mainQueue_.post([weakService = weak_from_this(), newState] {
    const auto service = weakService.lock();
    if (service && service->onCaptureStateChanged_) {
      service->onCaptureStateChanged_(newState);
    }
  });
}

ScreenCaptureService::StartTaskSlot ScreenCaptureService::takeStartTask() {
  std::lock_guard lock(startTaskLock_);
  return std::exchange(startTask_, StartTaskSlot{});
}

bool ScreenCaptureService::isCurrentStartTask(std::uint64_t taskNumber) const {
  std::lock_guard lock(startTaskLock_);
  return startTask_.number == taskNumber;
}

void ScreenCaptureService::clearStartTask(std::uint64_t taskNumber) {
  StartTaskSlot cleared;  // released after the lock: it may be the last handle of a task
  std::lock_guard lock(startTaskLock_);
  if (startTask_.number == taskNumber) {
    cleared = std::exchange(startTask_, StartTaskSlot{});
  }
}

std::shared_ptr<ScreenCaptureStream> ScreenCaptureService::takeStream() {
  std::lock_guard lock(streamLock_);
  return std::exchange(stream_, nullptr);
}

void ScreenCaptureService::storeStream(std::shared_ptr<ScreenCaptureStream> stream) {
  std::shared_ptr<ScreenCaptureStream> replaced;
  {
    std::lock_guard lock(streamLock_);
    replaced = std::exchange(stream_, std::move(stream));
  }
  // Only a start() while running gets here; a stream nobody holds any more must not keep capturing.
  if (replaced) {
    replaced->stopCapture([](const std::optional<std::string>&) {});
  }
}

}  // namespace velmora
