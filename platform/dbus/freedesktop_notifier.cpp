#include "platform/dbus/freedesktop_notifier.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dbus/dbus_connection.h"
#include "platform/log/log.h"

namespace velmora {
namespace {

constexpr const char* kServerName = "org.freedesktop.Notifications";
constexpr const char* kServerPath = "/org/freedesktop/Notifications";
constexpr const char* kServerInterface = "org.freedesktop.Notifications";
constexpr const char* kApplicationName = "Velmora";
constexpr const char* kDesktopEntry = "velmora-host";  // the installed velmora-host.desktop
constexpr std::uint8_t kNormalUrgency = 1;
constexpr std::int32_t kServerChoosesExpiry = -1;
// A server that has not answered by then is taken as absent: nothing ever waits on it longer.
constexpr std::uint64_t kCallTimeoutMicroseconds = 1'000'000;

const log::Logger& noticeLogger() {
  static const log::Logger logger("Notices");
  return logger;
}

void logNotShown(const std::string& why) { noticeLogger().error("A desktop notice could not be shown: {}", why); }

std::string describeReplyError(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  if (error == nullptr || error->name == nullptr) {
    return "an error without a name";
  }
  return std::string(error->name) + ": " + (error->message != nullptr ? error->message : "");
}

// The server took longer than kCallTimeoutMicroseconds (sd-bus's own error for that) or said so.
bool isSilence(sd_bus_message* reply) {
  const sd_bus_error* error = sd_bus_message_get_error(reply);
  return sd_bus_error_has_name(error, SD_BUS_ERROR_NO_REPLY) || sd_bus_error_has_name(error, SD_BUS_ERROR_TIMEOUT);
}

// Servers with "body-markup" read the body as markup: a device's name must not become a tag.
std::string escapeMarkup(const std::string& text) {
  std::string escaped;
  for (const char character : text) {
    switch (character) {
      case '&': escaped += "&amp;"; break;
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      default: escaped += character;
    }
  }
  return escaped;
}

Result<DBusMessage> newServerCall(sd_bus* bus, const char* method) {
  sd_bus_message* rawCall = nullptr;
  const int result = sd_bus_message_new_method_call(bus, &rawCall, kServerName, kServerPath, kServerInterface, method);
  if (result < 0) {
    return Result<DBusMessage>::failure(std::string("cannot make a call: ") + DBusError().describe(result));
  }
  return DBusMessage(rawCall);
}

// One session bus connection, the server's capabilities as it gave them, and the notices shown
// through it. Every member but the connection is used on the connection's thread only.
class NoticeLink {
  struct PrivateTag {};

 public:
  static Result<std::shared_ptr<NoticeLink>> open(const std::string& busAddress);

  NoticeLink(PrivateTag, std::unique_ptr<DBusConnection> connection) : connection_(std::move(connection)) {}
  ~NoticeLink();
  NoticeLink(const NoticeLink&) = delete;
  NoticeLink& operator=(const NoticeLink&) = delete;

  // Any thread. False when the connection has closed (nothing was sent).
  bool show(std::uint64_t handle, const DesktopNotice& notice, std::function<void(const std::string&)> onAction);
  void withdraw(std::uint64_t handle);
  bool connected() const { return connection_->connected(); }

 private:
  struct Capabilities {
    bool actions = false;
    bool bodyMarkup = false;
  };
  // Until its Notify is sent (the capabilities not known yet), it has neither a call nor an id.
  struct Notice {
    NoticeLink* link;
    std::uint64_t handle;
    DesktopNotice content;
    std::function<void(const std::string&)> onAction;
    DBusSlot notifyCall;
    std::uint32_t serverId = 0;
    bool withdrawn = false;  // before the server's id was known: closed as soon as it is
  };

  void subscribeOnBusThread(sd_bus* bus);
  void askCapabilitiesOnBusThread(sd_bus* bus);
  void sendWaitingNoticesOnBusThread(sd_bus* bus, const std::optional<std::string>& serverSilence);
  void sendNotifyOnBusThread(sd_bus* bus, Notice& notice);
  static void sendCloseOnBusThread(sd_bus* bus, std::uint32_t serverId);
  Notice* findOnBusThread(std::uint32_t serverId);
  void forgetAllOnBusThread();

  static int onCapabilities(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onNotifyReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onCloseReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onActionInvoked(sd_bus_message* signal, void* userdata, sd_bus_error* error);
  static int onNotificationClosed(sd_bus_message* signal, void* userdata, sd_bus_error* error);

  std::unique_ptr<DBusConnection> connection_;
  std::optional<Capabilities> capabilities_;
  DBusSlot capabilitiesCall_;  // set while the server is being asked
  DBusSlot actionInvokedMatch_;
  DBusSlot notificationClosedMatch_;
  std::map<std::uint64_t, std::unique_ptr<Notice>> notices_;  // by handle
};

Result<std::shared_ptr<NoticeLink>> NoticeLink::open(const std::string& busAddress) {
  auto connection = DBusConnection::open(DBusConnection::Bus::session, busAddress);
  if (!connection) {
    return Result<std::shared_ptr<NoticeLink>>::failure(connection.error());
  }
  auto link = std::make_shared<NoticeLink>(PrivateTag{}, std::move(connection.value()));
  link->connection_->perform([&](sd_bus* bus) {
    link->subscribeOnBusThread(bus);
    link->askCapabilitiesOnBusThread(bus);
  });
  return link;
}

NoticeLink::~NoticeLink() {
  // Dropping the slots cancels the pending calls and matches; a closed connection's thread has
  // ended, so nothing else uses them then.
  if (!connection_->perform([this](sd_bus*) { forgetAllOnBusThread(); })) {
    forgetAllOnBusThread();
  }
  connection_.reset();
}

void NoticeLink::forgetAllOnBusThread() {
  notices_.clear();
  capabilitiesCall_.reset();
  actionInvokedMatch_.reset();
  notificationClosedMatch_.reset();
}

bool NoticeLink::show(std::uint64_t handle, const DesktopNotice& notice,
                      std::function<void(const std::string&)> onAction) {
  return connection_->perform([&](sd_bus* bus) {
    auto made = std::make_unique<Notice>(
        Notice{.link = this, .handle = handle, .content = notice, .onAction = std::move(onAction), .notifyCall = {}});
    Notice& entry = *notices_.emplace(handle, std::move(made)).first->second;
    if (capabilities_) {
      sendNotifyOnBusThread(bus, entry);
    } else if (!capabilitiesCall_) {
      askCapabilitiesOnBusThread(bus);
    }
  });
}

void NoticeLink::withdraw(std::uint64_t handle) {
  connection_->perform([&](sd_bus* bus) {
    const auto found = notices_.find(handle);
    if (found == notices_.end()) {
      return;
    }
    Notice& notice = *found->second;
    if (notice.serverId != 0) {
      sendCloseOnBusThread(bus, notice.serverId);
      notices_.erase(found);
    } else if (notice.notifyCall) {
      notice.withdrawn = true;
      notice.onAction = nullptr;
    } else {
      notices_.erase(found);
    }
  });
}

void NoticeLink::subscribeOnBusThread(sd_bus* bus) {
  sd_bus_slot* slot = nullptr;
  // Matched on path and interface alone: a server restarted under a new unique name is still heard.
  int result = sd_bus_match_signal_async(bus, &slot, nullptr, kServerPath, kServerInterface, "ActionInvoked",
                                         onActionInvoked, nullptr, this);
  actionInvokedMatch_.reset(slot);
  if (result >= 0) {
    slot = nullptr;
    result = sd_bus_match_signal_async(bus, &slot, nullptr, kServerPath, kServerInterface, "NotificationClosed",
                                       onNotificationClosed, nullptr, this);
    notificationClosedMatch_.reset(slot);
  }
  if (result < 0) {
    noticeLogger().error("The actions of desktop notices will not be heard: {}", DBusError().describe(result));
  }
}

void NoticeLink::askCapabilitiesOnBusThread(sd_bus* bus) {
  auto call = newServerCall(bus, "GetCapabilities");
  int result = call ? 0 : -EINVAL;
  if (call) {
    sd_bus_slot* slot = nullptr;
    result = sd_bus_call_async(bus, &slot, call.value().get(), onCapabilities, this, kCallTimeoutMicroseconds);
    capabilitiesCall_.reset(slot);
  }
  if (result < 0) {
    sendWaitingNoticesOnBusThread(bus, std::nullopt);
  }
}

int NoticeLink::onCapabilities(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& link = *static_cast<NoticeLink*>(userdata);
  link.capabilitiesCall_.reset();  // sd-bus holds the slot itself until this returns
  sd_bus* bus = sd_bus_message_get_bus(reply);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    // Not cached: the next notice asks again, so a server started later is found.
    link.sendWaitingNoticesOnBusThread(bus, isSilence(reply) ? std::optional(describeReplyError(reply)) : std::nullopt);
    return 0;
  }
  Capabilities capabilities;
  const char* capability = nullptr;
  int result = sd_bus_message_enter_container(reply, 'a', "s");
  while (result > 0 && (result = sd_bus_message_read(reply, "s", &capability)) > 0) {
    capabilities.actions = capabilities.actions || std::string_view(capability) == "actions";
    capabilities.bodyMarkup = capabilities.bodyMarkup || std::string_view(capability) == "body-markup";
  }
  if (result < 0) {
    noticeLogger().error("The notification server's capabilities could not be read: {}", DBusError().describe(result));
    capabilities = {};
  }
  link.capabilities_ = capabilities;
  link.sendWaitingNoticesOnBusThread(bus, std::nullopt);
  return 0;
}

// With `serverSilence`, the server did not even answer GetCapabilities: the waiting notices are
// given up at once rather than after another timeout each.
void NoticeLink::sendWaitingNoticesOnBusThread(sd_bus* bus, const std::optional<std::string>& serverSilence) {
  std::vector<std::uint64_t> waiting;
  for (const auto& [handle, notice] : notices_) {
    if (!notice->notifyCall && notice->serverId == 0) {
      waiting.push_back(handle);
    }
  }
  for (const auto handle : waiting) {
    if (serverSilence) {
      logNotShown(*serverSilence);
      notices_.erase(handle);
    } else {
      sendNotifyOnBusThread(bus, *notices_.at(handle));
    }
  }
}

void NoticeLink::sendNotifyOnBusThread(sd_bus* bus, Notice& notice) {
  const Capabilities capabilities = capabilities_.value_or(Capabilities{});
  const std::string body = capabilities.bodyMarkup ? escapeMarkup(notice.content.body) : notice.content.body;
  auto call = newServerCall(bus, "Notify");
  if (!call) {
    logNotShown(call.error());
    notices_.erase(notice.handle);
    return;
  }
  sd_bus_message* message = call.value().get();
  int result = sd_bus_message_append(message, "susss", kApplicationName, std::uint32_t{0}, "",
                                     notice.content.summary.c_str(), body.c_str());
  if (result >= 0) {
    result = sd_bus_message_open_container(message, 'a', "s");
  }
  const std::vector<DesktopNoticeAction> none;
  for (const auto& action : capabilities.actions ? notice.content.actions : none) {
    if (result >= 0) {
      result = sd_bus_message_append(message, "ss", action.key.c_str(), action.label.c_str());
    }
  }
  if (result >= 0) {
    result = sd_bus_message_close_container(message);
  }
  if (result >= 0) {
    result = sd_bus_message_append(message, "a{sv}i", 2, "urgency", "y", kNormalUrgency, "desktop-entry", "s",
                                   kDesktopEntry, kServerChoosesExpiry);
  }
  if (result < 0) {
    logNotShown("its text cannot be sent (" + DBusError().describe(result) + ")");
    notices_.erase(notice.handle);
    return;
  }
  sd_bus_slot* slot = nullptr;
  result = sd_bus_call_async(bus, &slot, message, onNotifyReply, &notice, kCallTimeoutMicroseconds);
  notice.notifyCall.reset(slot);
  if (result < 0) {
    logNotShown(DBusError().describe(result));
    notices_.erase(notice.handle);
  }
}

int NoticeLink::onNotifyReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto& notice = *static_cast<Notice*>(userdata);
  NoticeLink& link = *notice.link;
  notice.notifyCall.reset();  // sd-bus holds the slot itself until this returns
  std::uint32_t serverId = 0;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    logNotShown(describeReplyError(reply));
  } else if (sd_bus_message_read(reply, "u", &serverId) < 0 || serverId == 0) {
    logNotShown("the notification server's reply holds no notice id");
  } else if (notice.withdrawn) {
    sendCloseOnBusThread(sd_bus_message_get_bus(reply), serverId);
  } else {
    // A restarted server counts its ids afresh: a notice of the old one holding this id is gone.
    if (Notice* stale = link.findOnBusThread(serverId)) {
      link.notices_.erase(stale->handle);
    }
    notice.serverId = serverId;
    return 0;
  }
  link.notices_.erase(notice.handle);
  return 0;
}

void NoticeLink::sendCloseOnBusThread(sd_bus* bus, std::uint32_t serverId) {
  auto call = newServerCall(bus, "CloseNotification");
  int result = call ? sd_bus_message_append(call.value().get(), "u", serverId) : -EINVAL;
  if (result >= 0) {
    // A floating call: it ends with the bus at the latest, and its reply only ever logs.
    result = sd_bus_call_async(bus, nullptr, call.value().get(), onCloseReply, nullptr, kCallTimeoutMicroseconds);
  }
  if (result < 0) {
    noticeLogger().error("A desktop notice could not be withdrawn: {}",
                         call ? DBusError().describe(result) : call.error());
  }
}

int NoticeLink::onCloseReply(sd_bus_message* reply, void*, sd_bus_error*) {
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    noticeLogger().error("A desktop notice could not be withdrawn: {}", describeReplyError(reply));
  }
  return 0;
}

NoticeLink::Notice* NoticeLink::findOnBusThread(std::uint32_t serverId) {
  const auto found = std::ranges::find_if(notices_, [&](const auto& entry) { return entry.second->serverId == serverId; });
  return found == notices_.end() ? nullptr : found->second.get();
}

int NoticeLink::onActionInvoked(sd_bus_message* signal, void* userdata, sd_bus_error*) {
  auto& link = *static_cast<NoticeLink*>(userdata);
  std::uint32_t serverId = 0;
  const char* key = nullptr;
  if (sd_bus_message_read(signal, "us", &serverId, &key) < 0 || serverId == 0) {
    return 0;
  }
  Notice* notice = link.findOnBusThread(serverId);
  if (notice == nullptr || !notice->onAction) {
    return 0;
  }
  // Taken out first: the callback may withdraw the notice, and a second signal must find nothing.
  const auto onAction = std::exchange(notice->onAction, nullptr);
  onAction(key);
  return 0;
}

int NoticeLink::onNotificationClosed(sd_bus_message* signal, void* userdata, sd_bus_error*) {
  auto& link = *static_cast<NoticeLink*>(userdata);
  std::uint32_t serverId = 0;
  std::uint32_t reason = 0;
  if (sd_bus_message_read(signal, "uu", &serverId, &reason) < 0 || serverId == 0) {
    return 0;
  }
  if (Notice* notice = link.findOnBusThread(serverId)) {
    link.notices_.erase(notice->handle);
  }
  return 0;
}

class FreedesktopNotifier final : public DesktopNotifier {
 public:
  explicit FreedesktopNotifier(std::string busAddress) : busAddress_(std::move(busAddress)) {
    // Opened now so that the server's capabilities are known before the first notice.
    std::string ignored;
    openedLink(ignored);
  }

  std::uint64_t show(const DesktopNotice& notice, std::function<void(const std::string& key)> onAction) override {
    const std::uint64_t handle = nextHandle_.fetch_add(1);
    std::string why;
    const auto link = openedLink(why);
    if (!link) {
      logNotShown(why);
    } else if (!link->show(handle, notice, std::move(onAction))) {
      logNotShown("the session bus connection closed");
    }
    return handle;
  }

  void withdraw(std::uint64_t handle) override {
    std::shared_ptr<NoticeLink> link;
    {
      std::lock_guard lock(linkLock_);
      link = link_;
    }
    if (link) {
      link->withdraw(handle);
    }
  }

 private:
  // The working link, opened anew when there is none or it closed; nullptr with `why` set when
  // the bus cannot be opened.
  std::shared_ptr<NoticeLink> openedLink(std::string& why) {
    {
      std::lock_guard lock(linkLock_);
      if (link_ && link_->connected()) {
        return link_;
      }
    }
    auto opened = NoticeLink::open(busAddress_);
    if (!opened) {
      why = opened.error();
      return nullptr;
    }
    std::shared_ptr<NoticeLink> retired;  // declared before the lock: its thread is joined after unlocking
    std::lock_guard lock(linkLock_);
    if (link_ && link_->connected()) {
      retired = std::move(opened.value());
    } else {
      retired = std::exchange(link_, std::move(opened.value()));
    }
    return link_;
  }

  const std::string busAddress_;
  std::atomic<std::uint64_t> nextHandle_{1};
  std::mutex linkLock_;
  std::shared_ptr<NoticeLink> link_;
};

}  // namespace

std::unique_ptr<DesktopNotifier> makeFreedesktopNotifier(const std::string& busAddress) {
  return std::make_unique<FreedesktopNotifier>(busAddress);
}

}  // namespace velmora
