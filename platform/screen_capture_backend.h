#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"
#include "platform/sample_buffer.h"

namespace velmora {

// A duration as a rational number of seconds: value / timescale.
struct MediaTime {
  std::int64_t value = 0;
  std::int32_t timescale = 0;  // 0: not a valid time

  bool operator==(const MediaTime&) const = default;
};

// What the platform offers for capture now.
struct CapturableDisplays {
  std::vector<std::uint32_t> displayIDs;
};

struct ScreenCaptureStreamConfiguration {
  std::int64_t width = 0;
  std::int64_t height = 0;
  MediaTime minimumFrameInterval;  // frames come no closer together than this
  std::uint32_t pixelFormat = kPixelFormat420v;
  int queueDepth = 3;  // pictures the platform may have in flight before it drops frames
  bool showsCursor = true;
  // Each frame is grabbed only after the consumer asked for it with the request that came with the
  // frame before (the first one at once), so that no work goes to frames the consumer would drop.
  // A backend that cannot pace delivers as if unpaced.
  bool pacedByConsumer = false;

  bool operator==(const ScreenCaptureStreamConfiguration&) const = default;
};

// Where a stream delivers its frames. Called on the stream's delivery thread, one frame at a time.
class ScreenCaptureStreamOutput {
 public:
  virtual ~ScreenCaptureStreamOutput() = default;
  virtual void streamDidOutputSampleBuffer(const SampleBuffer& sampleBuffer, SampleOutputType type) = 0;
};

// Told when a running stream ends on its own (display gone, platform failure); delivery thread.
class ScreenCaptureStreamDelegate {
 public:
  virtual ~ScreenCaptureStreamDelegate() = default;
  virtual void streamDidStopWithError(const std::string& errorDescription) = 0;
};

// One display's capture stream. Streams hold their output and delegate weakly: a frame or a
// failure for an object that is gone is dropped. Dropping the last reference ends the capture
// without an answer, also when that happens on the delivery thread itself.
class ScreenCaptureStream {
 public:
  // Called exactly once per request, with nothing on success or the error's description. May be
  // called on any thread, also before the request returns.
  using Completion = std::function<void(const std::optional<std::string>& errorDescription)>;

  virtual ~ScreenCaptureStream() = default;

  // Returns the error's description when the output cannot be registered.
  virtual std::optional<std::string> addStreamOutput(std::weak_ptr<ScreenCaptureStreamOutput> output,
                                                     SampleOutputType type) = 0;
  virtual void startCapture(Completion completion) = 0;
  virtual void stopCapture(Completion completion) = 0;
};

// The platform's screen capture: permission, the displays that can be captured, and streams.
class ScreenCaptureBackend {
 public:
  using CapturableDisplaysCompletion = std::function<void(Result<CapturableDisplays> content)>;

  virtual ~ScreenCaptureBackend() = default;

  // True when screen recording is permitted now.
  virtual bool hasScreenCaptureAccess() = 0;
  // Asks the user (where the platform asks at all); the answer may come too late to matter.
  virtual bool requestScreenCaptureAccess() = 0;
  // Completes exactly once, on any thread, also before the call returns.
  virtual void listCapturableDisplays(CapturableDisplaysCompletion completion) = 0;
  // A stream for one of the displays that listCapturableDisplays listed; it captures nothing until
  // it is started.
  virtual std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID,
                                                          const ScreenCaptureStreamConfiguration& configuration,
                                                          std::weak_ptr<ScreenCaptureStreamDelegate> delegate) = 0;
};

}  // namespace velmora
