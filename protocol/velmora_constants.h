#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmora::VelmoraConstants {

inline constexpr std::string_view dnsSdServiceType = "_velmora._tcp";
// The host name shown to clients when the machine has none.
inline constexpr const char* fallbackHostName = "Mac";
inline constexpr std::uint16_t defaultControlPort = 5920;
inline constexpr std::uint16_t defaultVideoPort = 5921;
inline constexpr std::uint32_t protocolVersion = 2;
inline constexpr int pairingCodeLength = 4;  // decimal digits
inline constexpr std::size_t maxFragmentPayloadSize = 1400;  // frame bytes per UDP datagram
inline constexpr std::size_t framePacketHeaderSize = 16;  // bytes

}  // namespace velmora::VelmoraConstants
