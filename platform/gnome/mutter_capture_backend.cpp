#include "platform/gnome/mutter_capture_backend.h"

#include <algorithm>
#include <string>

namespace velmora {
namespace {

// How long a start or a listing waits for a session being started again after a monitor change.
constexpr auto kSessionRestartWait = std::chrono::milliseconds(5000);

class MutterNodeSource : public PipeWireNodeSource {
 public:
  explicit MutterNodeSource(std::shared_ptr<MutterRemoteDesktop> session) : session_(std::move(session)) {}

  bool sessionRunning() override { return session_->running(); }

  Result<CapturableDisplays> recordedDisplays() override {
    const auto streams = session_->recordingStreams(kSessionRestartWait);
    if (streams.empty()) {
      return Result<CapturableDisplays>::failure("mutter's remote desktop session records no monitor");
    }
    CapturableDisplays content;
    for (const auto& stream : streams) {
      content.displayIDs.push_back(stream.displayID);
    }
    return content;
  }

  Result<PipeWireSource> nodeOf(std::uint32_t displayID, const std::string& what) override {
    const auto streams = session_->recordingStreams(kSessionRestartWait);
    const auto stream = std::find_if(streams.begin(), streams.end(), [&](const MutterRemoteDesktop::MonitorStream& candidate) {
      return candidate.displayID == displayID;
    });
    if (stream == streams.end()) {
      return Result<PipeWireSource>::failure(what + " is not among mutter's recorded monitors");
    }
    return PipeWireSource{-1, stream->pipeWireNode, what};
  }

 private:
  const std::shared_ptr<MutterRemoteDesktop> session_;
};

}  // namespace

MutterCaptureBackend::MutterCaptureBackend(std::shared_ptr<MutterRemoteDesktop> session)
    : PipeWireCaptureBackend("GNOME", std::make_shared<MutterNodeSource>(std::move(session))) {}

}  // namespace velmora
