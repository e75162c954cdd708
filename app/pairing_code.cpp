#include "app/pairing_code.h"

#include <sys/random.h>

#include <cerrno>
#include <fmt/format.h>
#include <stdexcept>

namespace velmora {

std::string formatPairingCode(std::uint32_t value) { return fmt::format("{:04}", value % 10000); }

std::string generatePairingCode() {
  // 4294960000 is the largest multiple of 10000 below 2^32: rejecting draws above it keeps every
  // code equally likely.
  constexpr std::uint32_t kUnbiasedLimit = 4294960000u;
  while (true) {
    std::uint32_t value = 0;
    const auto count = getrandom(&value, sizeof value, 0);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count != static_cast<ssize_t>(sizeof value)) {
      throw std::runtime_error("the system's secure random source is unavailable");
    }
    if (value < kUnbiasedLimit) {
      return formatPairingCode(value % 10000);
    }
  }
}

}  // namespace velmora
