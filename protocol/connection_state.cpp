#include "protocol/connection_state.h"

namespace velmora {

std::string ConnectionState::displayText() const {
  switch (case_) {
    case Case::disconnected:
      return "Disconnected";
    case Case::discovering:
      return "Searching for Macs...";
    case Case::connecting:
      return "Connecting...";
    case Case::handshaking:
      return "Handshaking...";
    case Case::connected:
      return "Connected to " + text_;
    case Case::error:
      return "Error: " + text_;
  }
  return {};
}

}  // namespace velmora
