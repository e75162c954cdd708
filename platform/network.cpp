#include "platform/network.h"

namespace velmora {

std::string describe(const ConnectionStatus& state) {
  switch (state.kind) {
    case ConnectionStateKind::setup: return "setup";
    case ConnectionStateKind::preparing: return "preparing";
    case ConnectionStateKind::waiting: return "waiting";
    case ConnectionStateKind::ready: return "ready";
    case ConnectionStateKind::failed:
      return "failed(" + (state.error ? state.error->description : std::string("unknown error")) + ")";
    case ConnectionStateKind::cancelled: return "cancelled";
  }
  return "unknown";
}

}  // namespace velmora
