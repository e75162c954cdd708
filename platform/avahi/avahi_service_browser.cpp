#include "platform/avahi/avahi_service_browser.h"

#include "platform/log/log.h"
#include "platform/wake_event.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include <fmt/format.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

namespace velmora {
namespace {

const log::Logger& logger() {
  static const log::Logger instance("Discovery");
  return instance;
}

using Found = Result<DiscoveredService>;

bool isLinkLocal(const AvahiAddress& address) {
  return address.proto == AVAHI_PROTO_INET6 && address.data.ipv6.address[0] == 0xfe &&
         (address.data.ipv6.address[1] & 0xc0) == 0x80;
}

// One findFirst(): the Avahi objects live on the caller's thread for its duration only, so no
// Avahi callback can ever run on another thread.
class Search {
 public:
  Search(std::string serviceType, int cancelDescriptor)
      : serviceType_(std::move(serviceType)), cancelDescriptor_(cancelDescriptor) {}
  ~Search() {
    if (client_) {
      avahi_client_free(client_);  // frees the browser and the resolvers with it
    }
    if (poll_) {
      avahi_simple_poll_free(poll_);
    }
  }
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;

  Found run(std::chrono::milliseconds timeout) {
    if (auto failure = setUp(timeout)) {
      return Found::failure(*failure);
    }
    if (avahi_simple_poll_loop(poll_) < 0 && !outcome_) {
      return Found::failure(std::string("the DNS-SD event loop failed: ") + std::strerror(errno));
    }
    return outcome_.value_or(Found::failure("DNS-SD discovery ended without a result"));
  }

 private:
  std::optional<std::string> setUp(std::chrono::milliseconds timeout) {
    poll_ = avahi_simple_poll_new();
    if (!poll_) {
      return "cannot create the DNS-SD event loop";
    }
    const AvahiPoll* api = avahi_simple_poll_get(poll_);
    auto onCancel = [](AvahiWatch*, int, AvahiWatchEvent, void* search) {
      static_cast<Search*>(search)->finish(Found::failure("discovery cancelled"));
    };
    if (!api->watch_new(api, cancelDescriptor_, AVAHI_WATCH_IN, onCancel, this)) {
      return "cannot watch the cancellation event";
    }
    timeval when{};
    avahi_elapse_time(&when, static_cast<unsigned>(timeout.count()), 0);
    auto onTimeout = [](AvahiTimeout*, void* search) {
      auto& self = *static_cast<Search*>(search);
      self.finish(Found::failure(fmt::format("no {} service found within {:g} s", self.serviceType_,
                                             static_cast<double>(self.timeout_.count()) / 1000.0)));
    };
    timeout_ = timeout;
    if (!api->timeout_new(api, &when, onTimeout, this)) {
      return "cannot arm the discovery timeout";
    }

    auto onClientState = [](AvahiClient* client, AvahiClientState state, void* search) {
      if (state == AVAHI_CLIENT_FAILURE) {
        static_cast<Search*>(search)->finish(
            Found::failure(std::string("the Avahi daemon went away: ") + avahi_strerror(avahi_client_errno(client))));
      }
    };
    int error = AVAHI_OK;
    // Without AVAHI_CLIENT_NO_FAIL a missing daemon fails here at once instead of being waited for.
    client_ = avahi_client_new(api, static_cast<AvahiClientFlags>(0), onClientState, this, &error);
    if (!client_) {
      return std::string("DNS-SD discovery needs the Avahi daemon: ") + avahi_strerror(error);
    }

    auto onBrowse = [](AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event,
                       const char* name, const char* type, const char* domain, AvahiLookupResultFlags, void* search) {
      static_cast<Search*>(search)->handleBrowse(interface, protocol, event, name, type, domain);
    };
    if (!avahi_service_browser_new(client_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, serviceType_.c_str(), nullptr,
                                   static_cast<AvahiLookupFlags>(0), onBrowse, this)) {
      return fmt::format("cannot browse for {}: {}", serviceType_, avahi_strerror(avahi_client_errno(client_)));
    }
    logger().info("Looking for {} services", serviceType_);
    return std::nullopt;
  }

  void handleBrowse(AvahiIfIndex interface, AvahiProtocol protocol, AvahiBrowserEvent event, const char* name,
                    const char* type, const char* domain) {
    if (event == AVAHI_BROWSER_FAILURE) {
      finish(Found::failure(std::string("DNS-SD browsing failed: ") + avahi_strerror(avahi_client_errno(client_))));
      return;
    }
    if (event != AVAHI_BROWSER_NEW) {
      return;
    }
    logger().info("Found {} in {}; resolving it", name, domain);
    auto onResolve = [](AvahiServiceResolver*, AvahiIfIndex resolvedInterface, AvahiProtocol, AvahiResolverEvent resolveEvent,
                        const char* resolvedName, const char*, const char*, const char*, const AvahiAddress* address,
                        std::uint16_t port, AvahiStringList*, AvahiLookupResultFlags, void* search) {
      static_cast<Search*>(search)->handleResolve(resolvedInterface, resolveEvent, resolvedName, address, port);
    };
    if (!avahi_service_resolver_new(client_, interface, protocol, name, type, domain, AVAHI_PROTO_UNSPEC,
                                    static_cast<AvahiLookupFlags>(0), onResolve, this)) {
      logger().error("Cannot resolve {}: {}", name, avahi_strerror(avahi_client_errno(client_)));
    }
  }

  void handleResolve(AvahiIfIndex interface, AvahiResolverEvent event, const char* name, const AvahiAddress* address,
                     std::uint16_t port) {
    if (event != AVAHI_RESOLVER_FOUND || !address) {
      // Another announcement of it (or another service) may still resolve.
      logger().notice("Cannot resolve {}: {}", name, avahi_strerror(avahi_client_errno(client_)));
      return;
    }
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, address);
    std::string addressText = text;
    char interfaceName[IF_NAMESIZE] = {};
    // A link-local address means nothing without the interface it was seen on.
    if (isLinkLocal(*address) && if_indextoname(static_cast<unsigned>(interface), interfaceName)) {
      addressText += std::string("%") + interfaceName;
    }
    logger().info("Resolved {} to {} port {}", name, log::privateValue(addressText), port);
    finish(DiscoveredService{name, addressText, port});
  }

  void finish(Found outcome) {
    if (!outcome_) {
      outcome_.emplace(std::move(outcome));
    }
    avahi_simple_poll_quit(poll_);
  }

  const std::string serviceType_;
  const int cancelDescriptor_;
  std::chrono::milliseconds timeout_{0};
  AvahiSimplePoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  std::optional<Found> outcome_;
};

class AvahiDaemonBrowser final : public ServiceBrowser {
 public:
  explicit AvahiDaemonBrowser(WakeEvent cancelEvent) : cancelEvent_(std::move(cancelEvent)) {}
  ~AvahiDaemonBrowser() override = default;
  AvahiDaemonBrowser(const AvahiDaemonBrowser&) = delete;
  AvahiDaemonBrowser& operator=(const AvahiDaemonBrowser&) = delete;

  Found findFirst(std::string_view serviceType, std::chrono::milliseconds timeout) override {
    Search search{std::string(serviceType), cancelEvent_.descriptor()};
    return search.run(timeout);
  }

  void cancel() override {
    // Never drained: a later findFirst() ends at once too.
    cancelEvent_.signal();
  }

 private:
  const WakeEvent cancelEvent_;
};

}  // namespace

Result<std::unique_ptr<ServiceBrowser>> makeAvahiServiceBrowser() {
  WakeEvent cancelEvent;
  if (!cancelEvent.isOpen()) {
    return Result<std::unique_ptr<ServiceBrowser>>::failure(std::string("cannot create the discovery's cancellation event: ") +
                                                            std::strerror(errno));
  }
  return std::unique_ptr<ServiceBrowser>(std::make_unique<AvahiDaemonBrowser>(std::move(cancelEvent)));
}

}  // namespace velmora
