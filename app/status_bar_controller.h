#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/session_presenter.h"
#include "control/control_channel_server.h"
#include "displays/mac_display_catalog.h"
#include "platform/display_source.h"
#include "platform/log/log.h"
#include "platform/main_queue.h"

namespace velmora {

struct StatusBarTiming {
  // The panel waits for the servers to come up before it is shown at start.
  std::chrono::steady_clock::duration verificationPanelDelay = std::chrono::milliseconds(350);
};

// Ties the host together at run time: owns the servers, reacts to what they report and keeps
// the user informed. Everything here runs on the main thread unless a comment says otherwise.
class StatusBarController : public std::enable_shared_from_this<StatusBarController> {
 public:
  struct Dependencies {
    MainQueue& mainQueue;
    std::shared_ptr<ControlChannelServer> controlServer;
    std::shared_ptr<DisplaySource> displaySource;
    std::shared_ptr<SessionPresenter> presenter;
    StatusBarTiming timing;
  };

  static std::shared_ptr<StatusBarController> create(Dependencies dependencies);

  void startServer();
  void stopServer();
  // Any thread: the change is queued to the main thread.
  void updateStatusMenu(std::string text);
  void presentVerificationCodePanel(bool force);
  void dismissVerificationCodePanel();

  const std::string& pairingCode() const { return pairingCode_; }
  // Four decimal digits drawn uniformly from the system's secure random source.
  static std::string generatePairingCode();
  static std::string formatPairingCode(std::uint32_t value);

 private:
  explicit StatusBarController(Dependencies dependencies);
  void wireControlServer();
  std::vector<MacDisplaySnapshot> displaySnapshots() const;

  Dependencies dependencies_;
  log::Logger logger_{"App"};
  std::optional<std::uint32_t> selectedDisplayID_;
  bool hasActiveClientSession_ = false;
  std::int64_t lastPreferredHeight_ = 1080;
  std::int64_t lastPreferredFrameRate_ = 60;
  bool wantsMultiDisplayStreaming_ = false;
  const std::string pairingCode_;
};

}  // namespace velmora
