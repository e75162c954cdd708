#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/capture_loop_stream.h"
#include "platform/result.h"

namespace velmora {

// Where the pictures come from: one video node of a PipeWire daemon.
struct PipeWireSource {
  int remoteDescriptor = -1;  // a PipeWire remote handed out by a portal (taken over); -1: the
                              // daemon of $XDG_RUNTIME_DIR (or PIPEWIRE_REMOTE)
  std::uint32_t nodeID = 0;
  std::string what;  // "display 3", for log lines and errors
  // Held until the loop ends: what the desktop streams the node for (a KWin stream), if anything.
  std::shared_ptr<void> keepAlive = nullptr;
};

// A capture loop that consumes the node's video in shared-memory buffers (BGRx,
// BGRA, RGBx, RGBA, xRGB or ARGB, never dmabuf), keeps only the newest buffer,
// and delivers it as NV12 at the configured size when the frame interval and
// the consumer allow. The stream ending, erroring or never starting ends the
// loop with the delegate told why. The connection is made here; run() on the
// stream's thread.
Result<std::shared_ptr<CaptureLoop>> makePipeWireCaptureLoop(PipeWireSource source, const CaptureLoopSettings& settings,
                                                             std::weak_ptr<ScreenCaptureStreamOutput> output,
                                                             std::weak_ptr<ScreenCaptureStreamDelegate> delegate);

}  // namespace velmora
