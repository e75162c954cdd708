#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/status_menu.h"
#include "control/control_channel_server.h"
#include "displays/mac_display_catalog.h"
#include "input/event_injector_service.h"
#include "platform/dispatch/cancellable_task.h"
#include "platform/display_source.h"
#include "platform/input_backend.h"
#include "platform/log/log.h"
#include "platform/main_queue.h"
#include "platform/screen_capture_backend.h"
#include "platform/status_user_interface.h"
#include "platform/video_encoder_backend.h"
#include "video/screen_capture_service.h"
#include "video/video_encoder_service.h"
#include "video/video_stream_server.h"

namespace velmora {

struct StatusBarTiming {
  // The panel waits for the servers to come up before it is shown at start.
  std::chrono::steady_clock::duration verificationPanelDelay = std::chrono::milliseconds(350);
  // Screen changes come in bursts; the pipelines are rebuilt once the burst has settled.
  std::chrono::steady_clock::duration screenChangeDebounce = std::chrono::milliseconds(300);
  // Permissions can change behind the host's back: they are checked again this often.
  std::chrono::steady_clock::duration permissionRecheckInterval = std::chrono::seconds(300);
  // How long the help for a missing permission has to come to the front before an alert explains.
  std::chrono::steady_clock::duration permissionHelpAlertDelay = std::chrono::milliseconds(500);
  ScreenCaptureTiming capture;
  EventInjectorTiming injector;
};

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

// Ties the host together at run time: owns the servers, the injector and one capture-plus-encoder
// pipeline per streamed display, reacts to what the servers and the desktop report, and keeps the
// user informed. Everything here runs on the main thread unless a comment says otherwise.
class StatusBarController : public StatusMenuSource, public std::enable_shared_from_this<StatusBarController> {
 public:
  struct BitRateOption {
    std::string label;
    std::int64_t bitsPerSecond = 0;
  };

  static constexpr std::int64_t kDefaultBitRate = 20'000'000;
  static constexpr std::int64_t kDefaultHeight = 1080;
  static constexpr std::int64_t kMaximumFrameRate = 60;
  static constexpr std::int64_t kSecondaryFrameRate = 30;

  struct Dependencies {
    MainQueue& mainQueue;
    // The controller makes and owns its servers, so that their callbacks reach it from the start.
    ControlChannelServer::Dependencies controlServer;
    VideoStreamServer::Options videoServer;
    std::shared_ptr<DisplaySource> displaySource;
    std::shared_ptr<ScreenCaptureBackend> captureBackend;
    VideoEncoderBackendFactory makeEncoderSession;
    std::shared_ptr<InputBackend> inputBackend;
    std::shared_ptr<StatusUserInterface> userInterface;
    std::shared_ptr<PermissionHelp> permissionHelp;  // none: the alert explains at once
    std::function<void()> quit;                      // the menu's Quit
    StatusBarTiming timing;
  };

  static std::shared_ptr<StatusBarController> create(Dependencies dependencies);
  ~StatusBarController() override;
  StatusBarController(const StatusBarController&) = delete;
  StatusBarController& operator=(const StatusBarController&) = delete;

  void startServer();
  void stopServer();
  // For the host's tear-down, which stops their queues before the controller goes, and for tests.
  ControlChannelServer& controlServer() const { return *controlServer_; }
  VideoStreamServer& videoServer() const { return *videoServer_; }
  // Quitting: stops the servers and streaming and waits up to `timeout` for the captures to
  // answer their stops, so that nothing is left running when the process ends.
  void shutdown(std::chrono::steady_clock::duration timeout);

  // Any thread: the change is queued to the main thread.
  void updateStatusMenu(std::string text);
  void presentVerificationCodePanel(bool force);
  void dismissVerificationCodePanel();

  void startSingleDisplayStreaming(std::int64_t preferredHeight, std::int64_t preferredFrameRate);
  void startAllDisplayStreaming(std::int64_t preferredHeight, std::int64_t preferredFrameRate,
                                bool reuseExistingPipelinesIfPossible);
  std::vector<std::shared_ptr<CancellableTask>> stopCapturePipelinesForRebuild();
  void rememberPendingCaptureStopTasks(const std::vector<std::shared_ptr<CancellableTask>>& tasks);

  // The desktop's screens changed; handled once a burst of changes has settled.
  void screenParametersDidChange();

  // The status menu: its entries live in StatusMenu; the choosers and permission checks here.
  void menuWillOpen(bool alternateKeyHeld) override;
  std::vector<StatusMenuItem> statusMenuItems() const override { return statusMenu_->items(); }
  void rebuildDisplaySubmenu();
  void rebuildBitrateSubmenu();
  void selectDisplay(std::uint32_t displayID);
  void selectBitRate(std::int64_t bitsPerSecond);
  void showVerificationCode() { presentVerificationCodePanel(true); }
  static const std::vector<BitRateOption>& bitRateOptions();

  // Permission monitoring.
  void appDidBecomeActive();
  void recheckPermissions();
  void openAccessibilitySettings();
  void openScreenRecordingSettings();

  // The main-thread halves of the control server's reports; its callbacks queue them here.
  void clientDidConnect(const ClientHello& hello);
  void clientDidDisconnect();
  void displaySwitchRequested(std::uint32_t displayID);
  void multiDisplayRequested(bool enabled);
  void forceKeyframeOnAllPipelines();
  void keyframeRequestedByClient();
  void videoClientReady();
  void handleControlMessage(const ControlMessage& message);

  const std::string& pairingCode() const { return pairingCode_; }
  // Four decimal digits drawn uniformly from the system's secure random source.
  static std::string generatePairingCode();
  static std::string formatPairingCode(std::uint32_t value);

  // What the menu and the tests read.
  // The displays a ServerHello lists: the streamed ones in stream order while streaming.
  std::vector<MacDisplaySnapshot> displaySnapshotsForServerHello() const;
  const std::map<std::uint32_t, DisplayPipeline>& displayPipelines() const { return displayPipelines_; }
  const std::set<std::uint32_t>& runningPipelineDisplayIDs() const { return runningPipelineDisplayIDs_; }
  bool isCapturing() const { return isCapturing_; }
  bool isCaptureStarting() const { return isCaptureStarting_; }
  bool hasActiveClientSession() const { return hasActiveClientSession_; }
  bool wantsMultiDisplayStreaming() const { return wantsMultiDisplayStreaming_; }
  bool captureSuspendedForNoScreens() const { return captureSuspendedForNoScreens_; }
  bool hasPendingCaptureStopBarrier() const { return pendingCaptureStopBarrier_.has_value(); }
  std::int64_t captureLifecycleGeneration() const { return captureLifecycleGeneration_; }
  // Kept by the control server, which describes it to the client from its network queue.
  std::optional<std::uint32_t> selectedDisplayID() const;
  std::int64_t selectedBitRate() const { return selectedBitRate_; }
  bool accessibilityCurrentlyGranted() const { return accessibilityCurrentlyGranted_; }
  bool screenRecordingCurrentlyGranted() const { return screenRecordingCurrentlyGranted_; }
  EventInjectorService& eventInjector() { return eventInjector_; }

 private:
  struct PendingCaptureStopBarrier {
    std::uint64_t id = 0;  // unique for the life of the process
    std::shared_ptr<CancellableTask> task;
  };
  enum class StreamingMode { singleDisplay, allDisplays };
  struct DeferredStart {
    StreamingMode mode = StreamingMode::singleDisplay;
    std::int64_t preferredHeight = 0;
    std::int64_t preferredFrameRate = 0;
    bool reuseExistingPipelinesIfPossible = false;
  };

  explicit StatusBarController(Dependencies dependencies);
  void createServers();
  ControlChannelServer::Callbacks controlServerCallbacks();
  // A callback for another thread: it queues `method`, with copies of its arguments, onto the
  // main queue, where it runs only if the controller still exists.
  template <class... Parameters>
  std::function<void(Parameters...)> postedToMainQueue(void (StatusBarController::*method)(Parameters...));
  // Streams again in the mode the client asked for, at its last preferred size and rate.
  void restartStreaming(bool reuseExistingPipelinesIfPossible);
  std::vector<MacDisplaySnapshot> currentSnapshots() const;
  void setSelectedDisplay(std::optional<std::uint32_t> displayID);
  void setupMenu();
  void recheckAccessibility();
  void schedulePermissionRecheck();
  void openPermissionHelp(PermissionKind permission, const char* alertKey, const char* buttonKey);

  void scheduleDeferredStart(const PendingCaptureStopBarrier& barrier, DeferredStart start);
  void runDeferredStart(std::uint64_t barrierID, std::int64_t generation, const DeferredStart& start);
  DisplayPipeline makePipeline(std::uint32_t displayID, std::uint16_t streamNumber);
  void connectPipeline(const DisplayPipeline& pipeline, std::int64_t width, std::int64_t height, std::int64_t bitRate,
                       std::int64_t frameRate);
  void handleSingleDisplayState(std::int64_t generation, std::uint32_t displayID,
                                const std::weak_ptr<ScreenCaptureService>& capture, CaptureState state);
  void handleMultiDisplayState(std::int64_t generation, std::uint32_t displayID,
                               const std::weak_ptr<ScreenCaptureService>& capture, std::size_t index,
                               CaptureState state);
  bool isCurrentPipelineReport(std::int64_t generation, std::uint32_t displayID,
                               const std::weak_ptr<ScreenCaptureService>& capture) const;

  void handleScreenChangeSettled();
  void cancelPendingScreenChange();

  Dependencies dependencies_;
  log::Logger logger_{"App"};
  EventInjectorService eventInjector_;
  std::shared_ptr<ControlChannelServer> controlServer_;
  std::shared_ptr<VideoStreamServer> videoServer_;

  // Declared after the servers: destroyed first, so no encoder outlives the server it sends to.
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
  std::int64_t lastPreferredHeight_ = kDefaultHeight;
  std::int64_t lastPreferredFrameRate_ = kMaximumFrameRate;
  bool wantsMultiDisplayStreaming_ = false;
  bool hasActiveClientSession_ = false;
  bool captureSuspendedForNoScreens_ = false;
  const std::string pairingCode_;

  // Counts screen changes: a debounced handling runs only if no change (or cancel) came after it.
  std::uint64_t lastScreenChange_ = 0;
  std::unique_ptr<StatusMenu> statusMenu_;
  bool accessibilityCurrentlyGranted_ = false;
  bool screenRecordingCurrentlyGranted_ = false;
};

}  // namespace velmora
