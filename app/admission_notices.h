#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/desktop_notifier.h"
#include "platform/log/log.h"
#include "platform/main_queue.h"
#include "protocol/handshake_message.h"

namespace velmora {

// Tells the desktop's user who is now viewing and controlling the computer, and offers to end that
// session or to forget its device as well. Main thread.
class AdmissionNotices : public std::enable_shared_from_this<AdmissionNotices> {
 public:
  struct Actions {
    std::function<void()> disconnect;
    std::function<void(const std::string& identifier)> forget;  // before the disconnect
  };

  // Without a notifier (headless) an admission is logged, beside the status line that names it.
  AdmissionNotices(MainQueue& mainQueue, std::shared_ptr<DesktopNotifier> notifier, Actions actions);

  void announce(const ClientHello& hello, const std::optional<std::string>& clientHost);
  // The announced client left: its notice goes, and an action chosen on it later does nothing.
  void sessionEnded();

 private:
  void actionChosen(std::uint64_t session, const std::string& key, const std::optional<std::string>& identifier);

  MainQueue& mainQueue_;
  const std::shared_ptr<DesktopNotifier> notifier_;
  const Actions actions_;
  log::Logger logger_{"App"};
  // Counts client sessions: a notice's action counts only for the session it announced.
  std::uint64_t session_ = 0;
  std::optional<std::uint64_t> shownNotice_;
};

}  // namespace velmora
