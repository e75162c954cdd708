#include "platform/pipewire/pipewire_capture_backend.h"

#include <utility>

#include "platform/capture_loop_stream.h"

namespace velmora {

PipeWireCaptureBackend::PipeWireCaptureBackend(std::string platformName, std::shared_ptr<PipeWireNodeSource> nodes)
    : platformName_(std::move(platformName)), nodes_(std::move(nodes)) {}

bool PipeWireCaptureBackend::hasScreenCaptureAccess() { return nodes_->sessionRunning(); }

bool PipeWireCaptureBackend::requestScreenCaptureAccess() { return nodes_->sessionRunning(); }

void PipeWireCaptureBackend::listCapturableDisplays(CapturableDisplaysCompletion completion) {
  completion(nodes_->recordedDisplays());
}

std::shared_ptr<ScreenCaptureStream> PipeWireCaptureBackend::makeStream(
    std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration,
    std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
  return makeCaptureLoopStream(
      platformName_, displayID, configuration, std::move(delegate),
      [nodes = nodes_](const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> output,
                       std::weak_ptr<ScreenCaptureStreamDelegate> stopDelegate) -> Result<std::shared_ptr<CaptureLoop>> {
        auto source = nodes->nodeOf(settings.displayID, "display " + std::to_string(settings.displayID));
        if (!source) {
          return Result<std::shared_ptr<CaptureLoop>>::failure(source.error());
        }
        return makePipeWireCaptureLoop(std::move(source.value()), settings, std::move(output), std::move(stopDelegate));
      },
      lingeringThreads_);
}

}  // namespace velmora
