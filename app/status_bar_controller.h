#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/admission_notices.h"
#include "app/input_queue.h"
#include "app/streaming_session.h"
#include "app/tray_presenter.h"
#include "control/control_channel_server.h"
#include "input/event_injector_service.h"
#include "platform/desktop_notifier.h"
#include "platform/display_source.h"
#include "platform/input_backend.h"
#include "platform/log/log.h"
#include "platform/main_queue.h"
#include "platform/screen_capture_backend.h"
#include "platform/status_user_interface.h"
#include "platform/video_encoder_backend.h"
#include "video/screen_capture_service.h"
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

// Ties the host together at run time: owns the servers, the input queue with its injector, the
// streaming session with its pipelines and the tray presenter, and answers what the servers, the
// desktop and the menu report. Main thread unless a comment says otherwise.
class StatusBarController : public std::enable_shared_from_this<StatusBarController> {
 public:
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
    // Announces each admission on the desktop; none (headless): the log and the status line do.
    std::shared_ptr<DesktopNotifier> notifier;
  };

  static std::shared_ptr<StatusBarController> create(Dependencies dependencies);
  ~StatusBarController();
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

  void presentVerificationCodePanel(bool force);
  void showVerificationCode() { presentVerificationCodePanel(true); }
  void dismissVerificationCodePanel();
  // The desktop's screens changed; handled once a burst of changes has settled.
  void screenParametersDidChange();
  void appDidBecomeActive() { tray_->recheckPermissions(); }
  void selectDisplay(std::uint32_t displayID);
  // After the menu's trust entries, a notice's "forget" or the user defaults file changed the
  // trusted devices: a client whose device is no longer trusted is disconnected at once.
  void trustedDevicesChanged();

  // The main-thread halves of the servers' reports; their callbacks queue them here.
  void clientDidConnect(const ClientHello& hello, const std::optional<std::string>& clientHost);
  void clientDidDisconnect();
  void displaySwitchRequested(std::uint32_t displayID);
  void multiDisplayRequested(bool enabled);
  void keyframeRequestedByClient();
  void videoClientReady();

  const std::string& pairingCode() const { return pairingCode_; }
  // Kept by the control server, which describes it to the client from its network queue.
  std::optional<std::uint32_t> selectedDisplayID() const { return controlServer_->selectedDisplayID(); }
  StreamingSession& streaming() const { return *streaming_; }
  TrayPresenter& tray() const { return *tray_; }
  // Any thread.
  const std::shared_ptr<InputQueue>& inputQueue() const { return inputQueue_; }

 private:
  explicit StatusBarController(Dependencies dependencies);
  void setSelectedDisplay(std::optional<std::uint32_t> displayID);
  // Rebuilds the single-display pipeline for the selected display and tells the client.
  void switchStreamedDisplay();
  void schedulePermissionRecheck();
  void handleScreenChangeSettled();

  Dependencies dependencies_;
  log::Logger logger_{"App"};
  const std::string pairingCode_;
  std::shared_ptr<InputQueue> inputQueue_;
  std::shared_ptr<TrayPresenter> tray_;
  std::shared_ptr<ControlChannelServer> controlServer_;
  std::shared_ptr<VideoStreamServer> videoServer_;
  // Declared after the servers: destroyed first, so no encoder outlives the server it sends to.
  std::shared_ptr<StreamingSession> streaming_;
  // Counts screen changes: a debounced handling runs only if no change (or cancel) came after it.
  std::uint64_t lastScreenChange_ = 0;
  std::shared_ptr<AdmissionNotices> admissions_;
};

}  // namespace velmora
