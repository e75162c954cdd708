#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "displays/mac_display_catalog.h"
#include "platform/dispatch/cancellable_task.h"
#include "platform/display_source.h"
#include "platform/log/log.h"
#include "platform/main_queue.h"
#include "platform/screen_capture_backend.h"
#include "platform/video_encoder_backend.h"
#include "video/screen_capture_service.h"
#include "video/video_encoder_service.h"
#include "video/video_stream_server.h"

namespace velmora {

// One streamed display: its capture and the encoder its frames go to.
struct DisplayPipeline {
  std::shared_ptr<ScreenCaptureService> captureService;
  std::shared_ptr<VideoEncoderService> encoderService;
};

// The settings of a multi-display build; an unchanged build is kept when the client reconnects.
struct MultiDisplayPipelineReuseSignature {
  std::int64_t preferredHeight = 0;
  std::int64_t preferredFrameRate = 0;
  std::int64_t bitRate = 0;
  bool operator==(const MultiDisplayPipelineReuseSignature&) const = default;
};

// How the total bit rate is shared over the streamed displays: all of it for a single one; with
// more, half for the first (primary) display and the other half split equally over the rest.
// A fresh build and a live change both ask this one rule, so a build kept on reconnect after a
// live change has the split a fresh build would give.
struct BitRatePlan {
  std::int64_t primary = 0;
  std::int64_t secondary = 0;  // each; 0 with a single display

  static BitRatePlan forDisplays(std::int64_t total, std::size_t displayCount);
  std::int64_t forStream(std::size_t streamNumber) const { return streamNumber == 0 ? primary : secondary; }
  bool operator==(const BitRatePlan&) const = default;
};

// What the connected client asked for; kept here because every start and deferred start reads it.
struct ClientSessionState {
  static constexpr std::int64_t kDefaultHeight = 1080;
  static constexpr std::int64_t kMaximumFrameRate = 60;

  bool hasActiveClientSession = false;
  bool wantsMultiDisplayStreaming = false;
  bool captureSuspendedForNoScreens = false;
  // As received: the starts clamp them where they are used.
  std::int64_t lastPreferredHeight = kDefaultHeight;
  std::int64_t lastPreferredFrameRate = kMaximumFrameRate;
};

// The streaming half of the controller: one capture-plus-encoder pipeline per streamed display,
// the stop barriers that keep a new build from starting before the old captures have stopped,
// the lifecycle generation that silences stale reports, and the bit-rate plan. Main thread.
class StreamingSession : public std::enable_shared_from_this<StreamingSession> {
 public:
  static constexpr std::int64_t kDefaultBitRate = 20'000'000;
  static constexpr std::int64_t kSecondaryFrameRate = 30;

  struct Dependencies {
    MainQueue& mainQueue;
    std::shared_ptr<DisplaySource> displaySource;
    std::shared_ptr<ScreenCaptureBackend> captureBackend;
    VideoEncoderBackendFactory makeEncoderSession;
    // Held weakly by every encoder's output: an encoder thread must never release what owns it.
    std::weak_ptr<VideoStreamServer> videoServer;
    ScreenCaptureTiming captureTiming;
    // The selection is kept by the control server and the injector; a start that falls back clears it.
    std::function<std::optional<std::uint32_t>()> selectedDisplayID;
    std::function<void(std::optional<std::uint32_t>)> setSelectedDisplay;
  };

  static std::shared_ptr<StreamingSession> create(Dependencies dependencies);
  StreamingSession(const StreamingSession&) = delete;
  StreamingSession& operator=(const StreamingSession&) = delete;

  void startSingleDisplayStreaming(std::int64_t preferredHeight, std::int64_t preferredFrameRate);
  void startAllDisplayStreaming(std::int64_t preferredHeight, std::int64_t preferredFrameRate,
                                bool reuseExistingPipelinesIfPossible);
  // Streams again in the mode the client asked for, at its last preferred size and rate.
  void restartStreaming(bool reuseExistingPipelinesIfPossible);
  std::vector<std::shared_ptr<CancellableTask>> stopCapturePipelinesForRebuild();
  void rememberPendingCaptureStopTasks(const std::vector<std::shared_ptr<CancellableTask>>& tasks);
  // Both of the above: every pipeline goes, and the next start waits for its capture to stop.
  void tearDown() { rememberPendingCaptureStopTasks(stopCapturePipelinesForRebuild()); }
  // False when the captures did not all stop within `timeout`.
  bool waitForCaptureStops(std::chrono::steady_clock::duration timeout);

  void forceKeyframeOnAllPipelines();
  // A live change: every running encoder gets its share at once, without a rebuild.
  void selectBitRate(std::int64_t bitsPerSecond);

  // The displays a ServerHello lists: the streamed ones in stream order while streaming.
  std::vector<MacDisplaySnapshot> displaySnapshotsForServerHello() const;
  ClientSessionState& clientSession() { return clientSession_; }
  const ClientSessionState& clientSession() const { return clientSession_; }
  const std::map<std::uint32_t, DisplayPipeline>& displayPipelines() const { return displayPipelines_; }
  const std::set<std::uint32_t>& runningPipelineDisplayIDs() const { return runningPipelineDisplayIDs_; }
  bool isCapturing() const { return isCapturing_; }
  bool isCaptureStarting() const { return isCaptureStarting_; }
  std::int64_t captureLifecycleGeneration() const { return captureLifecycleGeneration_; }
  std::int64_t selectedBitRate() const { return selectedBitRate_; }

 private:
  struct PendingCaptureStopBarrier {
    std::uint64_t id = 0;  // unique for the life of the process
    std::shared_ptr<CancellableTask> task;
  };
  // A start to make again once the captures that were stopping have stopped.
  struct DeferredStart {
    bool allDisplays = false;
    std::int64_t preferredHeight = 0;
    std::int64_t preferredFrameRate = 0;
    bool reuseExistingPipelinesIfPossible = false;
  };

  explicit StreamingSession(Dependencies dependencies);
  // True when `start` now waits for the pending barrier: one was there already, or this call's
  // tear-down (only with `tearDownFirst`) left captures stopping.
  bool deferredBehindBarrier(const DeferredStart& start, bool tearDownFirst);
  void runDeferredStart(std::uint64_t barrierID, std::int64_t generation, const DeferredStart& start);
  DisplayPipeline makePipeline(std::uint32_t displayID, std::uint16_t streamNumber, std::int64_t width,
                               std::int64_t height, std::int64_t bitRate, std::int64_t frameRate);
  // Stream 0 alone decides the mode flags; the others only join or leave the running set.
  void handleCaptureState(std::int64_t generation, std::uint32_t displayID,
                          const std::weak_ptr<ScreenCaptureService>& capture, std::size_t streamNumber,
                          CaptureState state);

  Dependencies dependencies_;
  log::Logger logger_{"App"};
  ClientSessionState clientSession_;
  std::map<std::uint32_t, DisplayPipeline> displayPipelines_;
  std::set<std::uint32_t> runningPipelineDisplayIDs_;
  std::vector<MacDisplaySnapshot> streamingDisplaySnapshots_;
  std::optional<MultiDisplayPipelineReuseSignature> activeMultiDisplayPipelineSignature_;
  std::optional<PendingCaptureStopBarrier> pendingCaptureStopBarrier_;
  std::uint64_t lastBarrierID_ = 0;
  std::int64_t captureLifecycleGeneration_ = 0;
  bool isCapturing_ = false;
  bool isCaptureStarting_ = false;
  std::int64_t selectedBitRate_ = kDefaultBitRate;
};

}  // namespace velmora
