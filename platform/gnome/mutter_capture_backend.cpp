#include "platform/gnome/mutter_capture_backend.h"

#include <algorithm>
#include <string>

#include "platform/capture_loop_stream.h"
#include "platform/pipewire/pipewire_capture_loop.h"

namespace velmora {
namespace {

// How long a start or a listing waits for a session being started again after a monitor change.
constexpr auto kSessionRestartWait = std::chrono::milliseconds(5000);

}  // namespace

MutterCaptureBackend::MutterCaptureBackend(std::shared_ptr<MutterRemoteDesktop> session)
    : session_(std::move(session)) {}

bool MutterCaptureBackend::hasScreenCaptureAccess() { return session_->running(); }

bool MutterCaptureBackend::requestScreenCaptureAccess() { return hasScreenCaptureAccess(); }

void MutterCaptureBackend::listCapturableDisplays(CapturableDisplaysCompletion completion) {
  const auto streams = session_->recordingStreams(kSessionRestartWait);
  if (streams.empty()) {
    completion(Result<CapturableDisplays>::failure("mutter's remote desktop session records no monitor"));
    return;
  }
  CapturableDisplays content;
  for (const auto& stream : streams) {
    content.displayIDs.push_back(stream.displayID);
  }
  completion(content);
}

std::shared_ptr<ScreenCaptureStream> MutterCaptureBackend::makeStream(
    std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration,
    std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
  return makeCaptureLoopStream(
      "GNOME", displayID, configuration, std::move(delegate),
      [session = session_](
          const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> frameOutput,
          std::weak_ptr<ScreenCaptureStreamDelegate> stopDelegate) -> Result<std::shared_ptr<CaptureLoop>> {
        const auto streams = session->recordingStreams(kSessionRestartWait);
        const auto stream =
            std::find_if(streams.begin(), streams.end(), [&](const MutterRemoteDesktop::MonitorStream& candidate) {
              return candidate.displayID == settings.displayID;
            });
        const std::string what = "display " + std::to_string(settings.displayID);
        if (stream == streams.end()) {
          return Result<std::shared_ptr<CaptureLoop>>::failure(what + " is not among mutter's recorded monitors");
        }
        return makePipeWireCaptureLoop(PipeWireSource{-1, stream->pipeWireNode, what}, settings, std::move(frameOutput),
                                       std::move(stopDelegate));
      },
      lingeringThreads_);
}

}  // namespace velmora
