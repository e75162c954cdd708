#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmora::reliability {

using Bytes = std::vector<std::uint8_t>;

// A 4-byte big-endian length and the text, as the control channel frames its
// messages.
Bytes frame(const std::string& text);
// A hello that asks for a session with `code`, padded with `padding` characters
// of device name.
std::string clientHelloText(const std::string& code, std::size_t padding = 0);

// What one hostile connection saw.
struct PeerOutcome {
  bool connected = false;
  bool closedByHost = false;  // end of stream or reset
  bool answered = false;      // at least one byte came back
  bool receivedServerHello = false;
  bool receivedServerRejected = false;
  std::chrono::milliseconds lifetime{0};  // from connect to the host's close, or to giving up
  std::size_t bytesSent = 0;
};

struct PeerScript {
  Bytes bytes;
  std::chrono::milliseconds pausePerByte{0};  // non-zero: one byte at a time
  bool halfCloseAfterSending = false;
  std::chrono::milliseconds giveUpAfter{15000};
};

// Connects to the control port on loopback, sends the script's bytes, and reads
// until the host closes the connection or the script gives up.
PeerOutcome runPeer(std::uint16_t port, const PeerScript& script);

struct FloodFigures {
  std::uint64_t attempted = 0;
  std::uint64_t connectFailed = 0;  // refused or never completed by the kernel
  std::uint64_t refused = 0;        // closed by the host without an answer
  std::uint64_t served = 0;         // answered by the host
  std::uint64_t serverHellos = 0;
  std::uint64_t leftOpen = 0;  // still open when the grace time ran out
};

// Opens `perSecond` connections a second for `duration`, at most `maximumOpen`
// at once; every tenth says nothing, the others send a hello with a code from
// `wrongCode`. Then waits up to `grace` for the host to close the rest.
FloodFigures flood(std::uint16_t port, std::chrono::milliseconds duration, int perSecond, std::size_t maximumOpen,
                   const std::function<std::string()>& wrongCode, std::chrono::milliseconds grace);

// Every handshake and control message case with each of its fields given a
// value of a wrong type (and each record replaced by a non-object), as compact
// JSON texts. Hellos carry `wrongCode`.
std::vector<std::string> wronglyTypedMessages(const std::string& wrongCode);

}  // namespace velmora::reliability
