#pragma once

#include <chrono>
#include <string>

namespace velmora::reliability {

// The far end of a veth pair in a network namespace of its own (run as `reliability_suite
// --foreign-video-peer INTERFACE SECONDS`): prints "ready", waits for SIGUSR1 (its interface moved
// in), sends hellos and garbage to the video port from many source ports, prints "sent N received
// M" and waits to be killed, since the veth pair ends with its namespace.
int runForeignVideoPeer(const std::string& interfaceName, std::chrono::milliseconds duration);

inline constexpr const char* foreignPeerFlag = "--foreign-video-peer";
inline constexpr const char* hostSideAddress = "10.77.0.1";
inline constexpr const char* foreignSideAddress = "10.77.0.2";

}  // namespace velmora::reliability
