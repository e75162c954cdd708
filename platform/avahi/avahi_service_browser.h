#pragma once

#include "platform/result.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmora {

struct DiscoveredService {
  std::string instanceName;
  // Numeric; an IPv6 link-local address carries its interface ("fe80::1%eth0").
  std::string address;
  std::uint16_t port = 0;
};

// Finds a DNS-SD service in the default domain.
class ServiceBrowser {
 public:
  virtual ~ServiceBrowser() = default;
  // Blocks until the first service of `serviceType` has been resolved, `timeout` has passed or
  // cancel() was called; the failure says which, or why browsing is not possible.
  virtual Result<DiscoveredService> findFirst(std::string_view serviceType, std::chrono::milliseconds timeout) = 0;
  // Ends a findFirst() in progress, or the next one, at once; callable from any thread.
  virtual void cancel() = 0;
};

// Browsing through the Avahi daemon. Fails only if the cancellation event cannot be made; a
// missing daemon is reported by findFirst().
Result<std::unique_ptr<ServiceBrowser>> makeAvahiServiceBrowser();

}  // namespace velmora
