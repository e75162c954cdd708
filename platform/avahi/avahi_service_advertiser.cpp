#include "platform/avahi/avahi_service_advertiser.h"

#include "platform/log/log.h"
#include "platform/wake_event.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>

namespace velmora {
namespace {

using namespace std::chrono_literals;

// How often a client is made again while even the system bus cannot be reached.
constexpr auto kClientRetryDelay = 2s;
// Each local collision picks a new name; this only stops a daemon that refuses every name.
constexpr int kMaximumNameAttempts = 20;

const log::Logger& logger() {
  static const log::Logger instance("ControlChannel");
  return instance;
}

struct Service {
  std::string instanceName;
  std::string serviceType;
  std::uint16_t port = 0;
  bool operator==(const Service&) const = default;
};

// Everything but advertise(), withdraw() and the destructor runs on the Avahi poll's thread, so
// no Avahi object is ever touched from the caller's thread and no caller waits for the daemon.
class AvahiServiceAdvertiser final : public ServiceAdvertiser {
 public:
  AvahiServiceAdvertiser(AvahiThreadedPoll* poll, WakeEvent requestEvent)
      : poll_(poll), requestEvent_(std::move(requestEvent)) {}
  ~AvahiServiceAdvertiser() override;
  AvahiServiceAdvertiser(const AvahiServiceAdvertiser&) = delete;
  AvahiServiceAdvertiser& operator=(const AvahiServiceAdvertiser&) = delete;

  // Before the poll runs: installs the wake-up watch and the first client, then starts the poll.
  std::optional<std::string> start();

  void advertise(const std::string& instanceName, const std::string& serviceType, std::uint16_t port) override;
  void withdraw() override;

 private:
  void request(std::optional<Service> service);
  const AvahiPoll* pollApi() const { return avahi_threaded_poll_get(poll_); }

  void applyRequest();
  void connectClient();
  void scheduleReconnect(std::chrono::milliseconds delay);
  void reconnect();
  void handleClientState(AvahiClient* client, AvahiClientState state);
  void handleGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state);
  void registerService();
  void chooseAlternativeName();
  void reportUnavailable(int error);

  AvahiThreadedPoll* const poll_;
  const WakeEvent requestEvent_;

  // Poll thread only.
  AvahiTimeout* reconnectTimeout_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  std::optional<Service> advertised_;  // as requested, with the caller's instance name
  std::string instanceName_;           // that name, or its alternative after a collision
  bool unavailableReported_ = false;

  std::mutex requestedServiceLock_;
  std::optional<Service> requestedService_;
};

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() {
  // Joins the poll thread first: no callback can run while the objects below are freed.
  avahi_threaded_poll_stop(poll_);
  if (client_) {
    // Closing the client's bus connection makes the daemon withdraw its records.
    avahi_client_free(client_);
  }
  avahi_threaded_poll_free(poll_);
}

std::optional<std::string> AvahiServiceAdvertiser::start() {
  auto onWake = [](AvahiWatch*, int, AvahiWatchEvent, void* userdata) {
    static_cast<AvahiServiceAdvertiser*>(userdata)->applyRequest();
  };
  if (!pollApi()->watch_new(pollApi(), requestEvent_.descriptor(), AVAHI_WATCH_IN, onWake, this)) {
    return "cannot watch the wake-up descriptor";
  }
  connectClient();
  if (avahi_threaded_poll_start(poll_) < 0) {
    return "cannot start the Avahi poll thread";
  }
  return std::nullopt;
}

void AvahiServiceAdvertiser::advertise(const std::string& instanceName, const std::string& serviceType, std::uint16_t port) {
  request(Service{fitToDnsLabel(instanceName), serviceType, port});
}

void AvahiServiceAdvertiser::withdraw() { request(std::nullopt); }

void AvahiServiceAdvertiser::request(std::optional<Service> service) {
  {
    std::lock_guard lock(requestedServiceLock_);
    requestedService_ = std::move(service);
  }
  requestEvent_.signal();
}

void AvahiServiceAdvertiser::applyRequest() {
  requestEvent_.drain();
  std::optional<Service> requested;
  {
    std::lock_guard lock(requestedServiceLock_);
    requested = requestedService_;
  }
  if (requested == advertised_) {
    return;
  }
  advertised_ = requested;
  instanceName_ = requested ? requested->instanceName : std::string();
  if (group_) {
    avahi_entry_group_reset(group_);
  }
  if (!advertised_) {
    if (group_) {
      avahi_entry_group_free(group_);
      group_ = nullptr;
    }
    return;
  }
  registerService();
}

void AvahiServiceAdvertiser::connectClient() {
  auto onClientState = [](AvahiClient* client, AvahiClientState state, void* userdata) {
    static_cast<AvahiServiceAdvertiser*>(userdata)->handleClientState(client, state);
  };
  int error = AVAHI_OK;
  // The callback may already run inside avahi_client_new (and register the service there).
  auto* client = avahi_client_new(pollApi(), AVAHI_CLIENT_NO_FAIL, onClientState, this, &error);
  if (!client) {
    // Even a client that waits for the daemon needs the system bus; retry until there is one.
    client_ = nullptr;
    group_ = nullptr;
    reportUnavailable(error);
    scheduleReconnect(kClientRetryDelay);
    return;
  }
  client_ = client;
}

void AvahiServiceAdvertiser::scheduleReconnect(std::chrono::milliseconds delay) {
  timeval when{};
  avahi_elapse_time(&when, static_cast<unsigned>(delay.count()), 0);
  if (reconnectTimeout_) {
    pollApi()->timeout_update(reconnectTimeout_, &when);
    return;
  }
  auto onTimeout = [](AvahiTimeout*, void* userdata) { static_cast<AvahiServiceAdvertiser*>(userdata)->reconnect(); };
  reconnectTimeout_ = pollApi()->timeout_new(pollApi(), &when, onTimeout, this);
  if (!reconnectTimeout_) {
    logger().error("DNS-SD advertisement stopped: cannot schedule a reconnection");
  }
}

void AvahiServiceAdvertiser::reconnect() {
  pollApi()->timeout_update(reconnectTimeout_, nullptr);
  if (client_) {
    avahi_client_free(client_);  // frees the group with it
    client_ = nullptr;
    group_ = nullptr;
  }
  connectClient();
}

void AvahiServiceAdvertiser::handleClientState(AvahiClient* client, AvahiClientState state) {
  client_ = client;
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      unavailableReported_ = false;
      registerService();
      break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
      // The daemon is (re)establishing its host name; records follow once it runs again.
      if (group_) {
        avahi_entry_group_reset(group_);
      }
      break;
    case AVAHI_CLIENT_CONNECTING:
      reportUnavailable(AVAHI_ERR_NO_DAEMON);
      break;
    case AVAHI_CLIENT_FAILURE: {
      auto error = avahi_client_errno(client);
      reportUnavailable(error);
      // A failed client is dead (the daemon went away or restarted). A new one waits for the
      // daemon; it is made from a timeout because a client must not be freed in its own callback.
      scheduleReconnect(error == AVAHI_ERR_DISCONNECTED ? 0ms : std::chrono::milliseconds(kClientRetryDelay));
      break;
    }
  }
}

void AvahiServiceAdvertiser::handleGroupState(AvahiEntryGroup* group, AvahiEntryGroupState state) {
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      logger().info("DNS-SD advertisement established: {} ({})", instanceName_, advertised_ ? advertised_->serviceType : "");
      break;
    case AVAHI_ENTRY_GROUP_COLLISION:
      // Another host on the network has the name: the recommended way is the next alternative.
      chooseAlternativeName();
      avahi_entry_group_reset(group);
      registerService();
      break;
    case AVAHI_ENTRY_GROUP_FAILURE:
      logger().error("DNS-SD advertisement failed: {}", avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
      break;
    case AVAHI_ENTRY_GROUP_UNCOMMITED:
    case AVAHI_ENTRY_GROUP_REGISTERING:
      break;
  }
}

void AvahiServiceAdvertiser::registerService() {
  if (!advertised_ || !client_ || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) {
    return;
  }
  if (!group_) {
    auto onGroupState = [](AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
      static_cast<AvahiServiceAdvertiser*>(userdata)->handleGroupState(group, state);
    };
    group_ = avahi_entry_group_new(client_, onGroupState, this);
    if (!group_) {
      logger().error("DNS-SD advertisement failed: {}", avahi_strerror(avahi_client_errno(client_)));
      return;
    }
  } else if (avahi_entry_group_is_empty(group_) == 0) {
    return;  // registered already: adding it again would collide with ourselves
  }
  int result = AVAHI_ERR_COLLISION;
  for (int attempt = 0; attempt < kMaximumNameAttempts && result == AVAHI_ERR_COLLISION; ++attempt) {
    result = avahi_entry_group_add_service_strlst(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, static_cast<AvahiPublishFlags>(0),
                                                  instanceName_.c_str(), advertised_->serviceType.c_str(), nullptr, nullptr,
                                                  advertised_->port, nullptr);
    if (result == AVAHI_ERR_COLLISION) {
      // A service of this daemon (another process on this machine) has the name already.
      chooseAlternativeName();
      avahi_entry_group_reset(group_);
    }
  }
  if (result >= 0) {
    result = avahi_entry_group_commit(group_);
  }
  if (result < 0) {
    logger().error("DNS-SD advertisement failed: {}", avahi_strerror(result));
    avahi_entry_group_reset(group_);
  }
}

void AvahiServiceAdvertiser::chooseAlternativeName() {
  char* alternative = avahi_alternative_service_name(instanceName_.c_str());
  if (!alternative) {
    return;
  }
  instanceName_ = alternative;
  avahi_free(alternative);
  logger().info("DNS-SD name collision; advertising as {}", instanceName_);
}

void AvahiServiceAdvertiser::reportUnavailable(int error) {
  if (unavailableReported_) {
    return;
  }
  unavailableReported_ = true;
  logger().error("DNS-SD advertisement unavailable: {}; waiting for the daemon", avahi_strerror(error));
}

}  // namespace

std::string fitToDnsLabel(std::string_view instanceName) {
  constexpr std::size_t kLabelBytes = AVAHI_LABEL_MAX - 1;
  if (instanceName.size() <= kLabelBytes) {
    return std::string(instanceName);
  }
  auto length = kLabelBytes;
  // Back off continuation bytes (10xxxxxx) so the cut falls before a character's first byte.
  while (length > 0 && (static_cast<unsigned char>(instanceName[length]) & 0xC0) == 0x80) {
    --length;
  }
  return std::string(instanceName.substr(0, length));
}

Result<std::shared_ptr<ServiceAdvertiser>> makeAvahiServiceAdvertiser() {
  using Made = Result<std::shared_ptr<ServiceAdvertiser>>;
  auto* poll = avahi_threaded_poll_new();
  if (!poll) {
    return Made::failure("Cannot create the Avahi event loop");
  }
  WakeEvent requestEvent;
  if (!requestEvent.isOpen()) {
    auto why = std::string("Cannot create the Avahi wake-up descriptor: ") + std::strerror(errno);
    avahi_threaded_poll_free(poll);
    return Made::failure(why);
  }
  auto advertiser = std::make_shared<AvahiServiceAdvertiser>(poll, std::move(requestEvent));
  if (auto failure = advertiser->start()) {
    return Made::failure("Cannot start DNS-SD advertisement: " + *failure);
  }
  return std::shared_ptr<ServiceAdvertiser>(std::move(advertiser));
}

}  // namespace velmora
