#pragma once

#include <memory>

#include "platform/lingering_threads.h"
#include "platform/screen_capture_backend.h"
#include "platform/virtual/virtual_display_source.h"

namespace velmora {

// Capture of the virtual displays: each stream draws a moving picture with a frame stamp at
// the configured size and rate, on a delivery thread of its own. Screen recording is always
// permitted. A display that leaves the source's layout ends its streams with an error.
class VirtualCaptureBackend : public ScreenCaptureBackend {
 public:
  explicit VirtualCaptureBackend(std::shared_ptr<const VirtualDisplaySource> source);

  bool hasScreenCaptureAccess() override;
  bool requestScreenCaptureAccess() override;
  void listCapturableDisplays(CapturableDisplaysCompletion completion) override;
  std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration,
                                                  std::weak_ptr<ScreenCaptureStreamDelegate> delegate) override;

 private:
  const std::shared_ptr<const VirtualDisplaySource> source_;
  const std::shared_ptr<LingeringThreads> lingeringThreads_ = std::make_shared<LingeringThreads>();
};

}  // namespace velmora
