#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velmora::reliability {

using Bytes = std::vector<std::uint8_t>;

// A 4-byte big-endian length and the text, as the control channel frames its messages.
Bytes frame(const std::string& text);
// A hello with `code` and `padding` more characters of device name.
std::string clientHelloText(const std::string& code, std::size_t padding = 0);

// What one hostile connection saw.
struct PeerOutcome {
  bool connected = false;
  bool closedByHost = false;  // end of stream or reset
  bool answered = false;      // at least one byte came back
  bool receivedServerHello = false;
  bool receivedServerRejected = false;
  std::chrono::milliseconds lifetime{0};  // from connect to the host's close, or to giving up
};

struct PeerScript {
  Bytes bytes;
  std::chrono::milliseconds pausePerByte{0};  // non-zero: one byte at a time
  bool halfCloseAfterSending = false;
  std::chrono::milliseconds giveUpAfter{15000};
};

// Sends the script's bytes to the control port on loopback, and reads until the host closes or the
// script gives up.
PeerOutcome runPeer(std::uint16_t port, const PeerScript& script);

// `perSecond` peers from `workers` threads for `duration`: a tenth silent, the others sending a
// hello with a code from `wrongCode`.
std::vector<PeerOutcome> flood(std::uint16_t port, std::chrono::milliseconds duration, int perSecond, int workers,
                               const std::function<std::string()>& wrongCode);

}  // namespace velmora::reliability
