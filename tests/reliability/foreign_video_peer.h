#pragma once

#include <chrono>
#include <string>

namespace velmora::reliability {

// The far end of a veth pair, in a network namespace of its own: sends video
// hellos and garbage to the host's video port from many source ports and counts
// every datagram that comes back. Runs as `reliability_suite
// --foreign-video-peer INTERFACE SECONDS` so that the namespace change stays
// out of the test process. Prints "ready" once it has its namespace, waits for
// SIGUSR1 (its interface has been moved in), then prints "sent N received M"
// and waits to be killed, since the veth pair ends with its namespace.
int runForeignVideoPeer(const std::string& interfaceName, std::chrono::milliseconds duration);

inline constexpr const char* foreignPeerFlag = "--foreign-video-peer";
inline constexpr const char* hostSideAddress = "10.77.0.1";
inline constexpr const char* foreignSideAddress = "10.77.0.2";

}  // namespace velmora::reliability
