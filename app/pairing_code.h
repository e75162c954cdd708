#pragma once

#include <cstdint>
#include <string>

namespace velmora {

// Four decimal digits drawn uniformly from the system's secure random source.
std::string generatePairingCode();
std::string formatPairingCode(std::uint32_t value);

}  // namespace velmora
