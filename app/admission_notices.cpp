#include "app/admission_notices.h"

#include <utility>

#include "app/localization.h"
#include "control/trusted_devices.h"
#include "platform/log/printable.h"

namespace velmora {

AdmissionNotices::AdmissionNotices(MainQueue& mainQueue, std::shared_ptr<DesktopNotifier> notifier, Actions actions)
    : mainQueue_(mainQueue), notifier_(std::move(notifier)), actions_(std::move(actions)) {}

void AdmissionNotices::announce(const ClientHello& hello, const std::optional<std::string>& clientHost) {
  const auto session = ++session_;
  const std::string title = localizedFormat("mac.notice.connected.titleFormat", {printable(hello.deviceName, 60)});
  const std::string address = clientHost.value_or("?");
  if (!notifier_) {
    logger_.notice("{} (from {})", title, address);
    return;
  }
  DesktopNotice notice{title, localizedFormat("mac.notice.connected.bodyFormat", {address}),
                       {{"disconnect", localized("mac.notice.disconnect")}}};
  const auto identifier = normalizeClientIdentifier(hello.clientIdentifier);
  if (identifier) {
    notice.actions.push_back({"forget", localized("mac.notice.forget")});
  }
  // The notifier answers on its own thread; the choice is acted on here.
  shownNotice_ = notifier_->show(
      notice, [&mainQueue = mainQueue_, weak = weak_from_this(), session, identifier](const std::string& key) {
        mainQueue.post([weak, session, key, identifier] {
          if (auto self = weak.lock()) {
            self->actionChosen(session, key, identifier);
          }
        });
      });
}

void AdmissionNotices::sessionEnded() {
  ++session_;
  if (shownNotice_ && notifier_) {
    notifier_->withdraw(*shownNotice_);
  }
  shownNotice_.reset();
}

void AdmissionNotices::actionChosen(std::uint64_t session, const std::string& key,
                                    const std::optional<std::string>& identifier) {
  if (session != session_) {
    return;  // that session is over; the notice must not end another
  }
  if (key == "forget" && identifier) {
    actions_.forget(*identifier);
  }
  actions_.disconnect();
}

}  // namespace velmora
