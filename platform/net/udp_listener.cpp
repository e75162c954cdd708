#include "platform/net/udp_listener.h"

namespace velmora {

std::string_view describe(UdpSendMode mode) {
  switch (mode) {
    case UdpSendMode::segmentationOffload: return "segmentation offload";
    case UdpSendMode::batched: return "sendmmsg";
    case UdpSendMode::perDatagram: return "sendto per datagram";
  }
  return "unknown";
}

std::string describe(UdpListener::StateKind state, const std::optional<NetworkError>& error) {
  switch (state) {
    case UdpListener::StateKind::ready: return "ready";
    case UdpListener::StateKind::failed:
      return "failed(" + (error ? error->description : std::string("unknown error")) + ")";
    case UdpListener::StateKind::cancelled: return "cancelled";
  }
  return "unknown";
}

}  // namespace velmora
