#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/input_backend.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"
#include "platform/wayland/wayland_display_source.h"
#include "platform/wayland/wayland_shared_connection.h"

namespace velmora {

// The platform services of a KWin session on one shared connection: KWin's outputs as displays
// (the primary from KWin's output order), capture through KWin's screen cast streams, input through
// its fake input device and the clipboard through data control.
struct KwinDesktop {
  std::shared_ptr<WaylandDisplaySource> displays;
  std::shared_ptr<ScreenCaptureBackend> capture;
  std::shared_ptr<InputBackend> input;
};

// Opens the services on `socketName` ($WAYLAND_DISPLAY when empty). Fails with the reason when the
// compositor is not KWin, or when KWin withholds a global from this program ("KWin does not offer
// ... to this program; install it, or use --backend portal"). `onLost` hears once, on the
// connection's thread, that KWin went away.
Result<KwinDesktop> openKwinDesktop(const std::string& socketName = {},
                                    WaylandSharedConnection::LossHandler onLost = {});

}  // namespace velmora
