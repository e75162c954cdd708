#pragma once

#include <string>
#include <utility>

namespace velmora {

// How a client shows its link to the host.
class ConnectionState {
 public:
  enum class Case { disconnected, discovering, connecting, handshaking, connected, error };

  static ConnectionState disconnected() { return ConnectionState(Case::disconnected, {}); }
  static ConnectionState discovering() { return ConnectionState(Case::discovering, {}); }
  static ConnectionState connecting() { return ConnectionState(Case::connecting, {}); }
  static ConnectionState handshaking() { return ConnectionState(Case::handshaking, {}); }
  static ConnectionState connected(std::string hostName) { return ConnectionState(Case::connected, std::move(hostName)); }
  static ConnectionState error(std::string message) { return ConnectionState(Case::error, std::move(message)); }

  Case kind() const { return case_; }
  // The host name of `connected` or the message of `error`; empty for the other cases.
  const std::string& text() const { return text_; }
  bool isConnected() const { return case_ == Case::connected; }
  std::string displayText() const;

  bool operator==(const ConnectionState&) const = default;

 private:
  ConnectionState(Case kind, std::string text) : case_(kind), text_(std::move(text)) {}

  Case case_;
  std::string text_;
};

}  // namespace velmora
