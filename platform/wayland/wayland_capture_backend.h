#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "platform/lingering_threads.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"

namespace velmora {

class WaylandConnection;
class WaylandOutputs;

// Capture of the outputs of a wlroots compositor through wlr-screencopy, with the display IDs that
// WaylandOutputs gives. Each stream copies its output into shared memory on a connection and
// thread of its own, asking for each copy only once the frame interval (and, when paced, the
// consumer) allows it and letting the compositor answer only when the output changed, so a still
// screen costs nothing; pictures are scaled to the configured size and converted to NV12.
// Access is granted when the compositor has the screencopy manager and a test copy succeeded.
// Until one has, each check reads the outcome of the test copy that the check before started, so
// that no check (the main thread's, every 300 s) waits the up to 5 s a compositor may take.
class WaylandCaptureBackend : public ScreenCaptureBackend {
  struct PrivateTag {};

 public:
  // Fails when the compositor cannot be reached or has no screencopy manager or wl_shm.
  static Result<std::shared_ptr<WaylandCaptureBackend>> open(const std::string& socketName = {});

  WaylandCaptureBackend(PrivateTag, std::string socketName, std::unique_ptr<WaylandConnection> connection);
  ~WaylandCaptureBackend() override;

  bool hasScreenCaptureAccess() override;
  bool requestScreenCaptureAccess() override;
  void listCapturableDisplays(CapturableDisplaysCompletion completion) override;
  std::shared_ptr<ScreenCaptureStream> makeStream(std::uint32_t displayID, const ScreenCaptureStreamConfiguration& configuration,
                                                  std::weak_ptr<ScreenCaptureStreamDelegate> delegate) override;

 private:
  struct TestCopy;
  // Both with connectionLock_ held.
  void startTestCopy();
  // Clears a test copy that has an outcome, or ran out of time by `now`; keeps one still going.
  void takeTestCopyOutcome(std::chrono::steady_clock::time_point now);

  const std::string socketName_;  // so that streams reach the same compositor
  // Start tasks of several streams may ask for the content at once, each on its own thread.
  std::mutex connectionLock_;  // guards the connection, its outputs, the test copy and copySucceeded_
  std::unique_ptr<WaylandConnection> connection_;
  std::unique_ptr<WaylandOutputs> outputs_;
  std::unique_ptr<TestCopy> testCopy_;  // none while none is going
  bool copySucceeded_ = false;
  const std::shared_ptr<LingeringThreads> lingeringThreads_ = std::make_shared<LingeringThreads>();
};

}  // namespace velmora
