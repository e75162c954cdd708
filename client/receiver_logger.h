#pragma once

#include "platform/log/log.h"

namespace velmora {

// The category of every line the receiving side of the client logs.
inline const log::Logger& receiverLogger() {
  static const log::Logger instance("VideoReceiver");
  return instance;
}

}  // namespace velmora
