#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// DNS-SD advertisement of one service instance in the default domain, without a TXT record.
class ServiceAdvertiser {
 public:
  virtual ~ServiceAdvertiser() = default;
  // Starts (or replaces) the advertisement. Failures are logged; without a daemon the
  // advertisement is made as soon as one appears.
  virtual void advertise(const std::string& instanceName, const std::string& serviceType, std::uint16_t port) = 0;
  // Withdraws the advertisement; idempotent.
  virtual void withdraw() = 0;
};

}  // namespace velmora
