#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "displays/mac_display_catalog.h"
#include "platform/dispatch/cancellable_task.h"
#include "platform/log/log.h"
#include "platform/main_queue.h"
#include "platform/sample_buffer.h"
#include "platform/screen_capture_backend.h"
#include "video/capture_configuration.h"

namespace velmora {

enum class CaptureState { idle, starting, running };

std::string_view captureStateName(CaptureState state);

struct ScreenCaptureTiming {
  int maximumStartAttempts = 15;
  std::chrono::steady_clock::duration pauseAfterFailedAttempt = std::chrono::seconds(2);
};

// Captures one display as a stream of frames for its owner. Starting retries transient failures
// and can be cancelled at any step; each stop leaves a barrier that the next start waits for, so
// a new stream never overlaps the tearing-down of the previous one.
//
// start(), stop() and the setters run on the main thread; state reports arrive there too. Frames
// are handed over on the backend's delivery thread.
class ScreenCaptureService : public ScreenCaptureStreamOutput,
                             public ScreenCaptureStreamDelegate,
                             public std::enable_shared_from_this<ScreenCaptureService> {
  struct PrivateTag {};

 public:
  using SampleBufferHandler = std::function<void(const SampleBuffer&)>;
  using CaptureStateHandler = std::function<void(CaptureState)>;

  struct Dependencies {
    MainQueue& mainQueue;
    std::shared_ptr<ScreenCaptureBackend> backend;
    // The current displays, for the default configuration.
    std::vector<MacDisplaySnapshot> displays;
    ScreenCaptureTiming timing;
  };

  static std::shared_ptr<ScreenCaptureService> create(Dependencies dependencies);

  ScreenCaptureService(PrivateTag, Dependencies dependencies);
  ScreenCaptureService(const ScreenCaptureService&) = delete;
  ScreenCaptureService& operator=(const ScreenCaptureService&) = delete;

  void setTargetDisplayID(std::optional<std::uint32_t> displayID);
  std::optional<std::uint32_t> targetDisplayID() const;
  // Read when a stream is made: a change takes effect at the next start.
  void setConfiguration(const CaptureConfiguration& configuration);
  CaptureConfiguration configuration() const;
  void setOnSampleBuffer(SampleBufferHandler handler);
  void setOnCaptureStateChanged(CaptureStateHandler handler);

  void start();
  // The stop task: finished once the last stream of this service has been told to stop and has
  // answered. None when there was nothing to stop.
  std::shared_ptr<CancellableTask> stop();

  CaptureState captureState() const;
  std::int64_t frameCount() const;

  void streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer, SampleOutputType type) override;
  void streamDidStopWithError(const std::string& errorDescription) override;

 private:
  struct StartTaskSlot {
    std::shared_ptr<CancellableTask> task;
    std::uint64_t number = 0;  // tells a superseded start task from the current one
  };

  static void runStartTask(const std::weak_ptr<ScreenCaptureService>& weakService,
                           const std::shared_ptr<CancellableTask>& barrier, std::uint64_t taskNumber,
                           CancellationToken& token);
  static void runStopTask(const std::shared_ptr<ScreenCaptureService>& service,
                          const std::shared_ptr<CancellableTask>& previousBarrier,
                          const std::shared_ptr<CancellableTask>& startTask,
                          std::shared_ptr<ScreenCaptureStream> stream);
  bool startCapture(const CancellationToken& token);
  static ScreenCaptureStreamConfiguration streamConfiguration(const CaptureConfiguration& captured);
  void updateCaptureState(CaptureState newState);
  // Start tasks only: running, unless the start was cancelled; checked and set under stateLock_.
  bool markRunningUnlessCancelled(const CancellationToken& token);
  void reportStateChange(CaptureState oldState, CaptureState newState);
  StartTaskSlot takeStartTask();
  bool isCurrentStartTask(std::uint64_t taskNumber) const;
  // Clears startTask when it is still the task with this number.
  void clearStartTask(std::uint64_t taskNumber);
  std::shared_ptr<ScreenCaptureStream> takeStream();
  void storeStream(std::shared_ptr<ScreenCaptureStream> stream);

  MainQueue& mainQueue_;
  const std::shared_ptr<ScreenCaptureBackend> backend_;
  const ScreenCaptureTiming timing_;
  log::Logger logger_{"ScreenCapture"};

  mutable std::mutex streamLock_;
  std::shared_ptr<ScreenCaptureStream> stream_;

  mutable std::mutex startTaskLock_;
  StartTaskSlot startTask_;
  std::uint64_t lastStartTaskNumber_ = 0;  // main thread only

  std::shared_ptr<CancellableTask> stopBarrier_;  // main thread only; never cleared

  mutable std::mutex configurationLock_;
  CaptureConfiguration configuration_;

  mutable std::mutex stateLock_;  // guards captureState_ and frameCount_ only
  CaptureState captureState_ = CaptureState::idle;
  std::int64_t frameCount_ = 0;

  mutable std::mutex targetDisplayIDLock_;
  std::optional<std::uint32_t> targetDisplayID_;

  // Copied out under the lock and called without it; shared so that the copy per frame is cheap.
  mutable std::mutex onSampleBufferLock_;
  std::shared_ptr<const SampleBufferHandler> onSampleBuffer_;

  CaptureStateHandler onCaptureStateChanged_;  // main thread only
};

}  // namespace velmora
