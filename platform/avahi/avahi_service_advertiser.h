#pragma once

#include "platform/result.h"
#include "platform/service_advertiser.h"

#include <memory>
#include <string>
#include <string_view>

namespace velmora {

// DNS-SD advertisement through the Avahi daemon. Without a daemon (or without a system bus) the
// advertiser logs that once and registers as soon as one appears; after a daemon restart it
// registers again. Calls return at once: the work happens on Avahi's own thread.
// Fails only if Avahi's event loop cannot be set up.
Result<std::shared_ptr<ServiceAdvertiser>> makeAvahiServiceAdvertiser();

// An instance name cut to the 63 bytes a DNS label holds, never inside a UTF-8 character.
std::string fitToDnsLabel(std::string_view instanceName);

}  // namespace velmora
