#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/pipewire/pipewire_capture_backend.h"
#include "platform/wayland/wayland_shared_connection.h"

struct zkde_screencast_unstable_v1;

namespace velmora {

// KWin's screen cast: one stream per captured output, with the cursor drawn in, whose PipeWire
// node the shared PipeWire capture consumes. The stream is KWin's to end: a stream KWin fails,
// closes or never answers is an error that names the display.
class KwinScreencast : public PipeWireNodeSource {
 public:
  // `manager` is bound on `connection` before it starts; taken over.
  KwinScreencast(std::shared_ptr<WaylandSharedConnection> connection, zkde_screencast_unstable_v1* manager);
  ~KwinScreencast() override;
  KwinScreencast(const KwinScreencast&) = delete;
  KwinScreencast& operator=(const KwinScreencast&) = delete;

  bool sessionRunning() override;
  Result<CapturableDisplays> recordedDisplays() override;
  // Asks KWin for a stream of the output and waits for its node. The stream is closed when the
  // returned source's keep-alive goes.
  Result<PipeWireSource> nodeOf(std::uint32_t displayID, const std::string& what) override;

 private:
  const std::shared_ptr<WaylandSharedConnection> connection_;
  zkde_screencast_unstable_v1* const manager_;
  const std::uint32_t pointerMode_;
};

}  // namespace velmora
