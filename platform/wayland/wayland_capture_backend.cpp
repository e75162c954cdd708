#include "platform/wayland/wayland_capture_backend.h"

#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/capture/capture_delivery.h"
#include "platform/capture_loop_stream.h"
#include "platform/frame_pacer.h"
#include "platform/log/log.h"
#include "platform/wake_event.h"
#include "platform/wayland/protocols/wlr-screencopy-unstable-v1-client.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_outputs.h"
#include "platform/wayland/wayland_screencopy.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

// Copies refused in a row for an output that is still there before the stream ends.
constexpr int kMaximumFailedCopies = 5;
constexpr auto kAccessProbeTimeout = std::chrono::seconds(5);

double secondsOf(Clock::time_point time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

std::string unavailable(std::uint32_t displayID) { return "display " + std::to_string(displayID) + " is not available"; }

// The proxies a copy needs, bound on one connection and released with this object.
struct ScreencopyGlobals {
  explicit ScreencopyGlobals(WaylandConnection& connection)
      : manager(connection.bind<zwlr_screencopy_manager_v1>(zwlr_screencopy_manager_v1_interface, 3)),
        shm(connection.bind<wl_shm>(wl_shm_interface, 1)) {}
  ~ScreencopyGlobals() {
    if (manager != nullptr) {
      zwlr_screencopy_manager_v1_destroy(manager);
    }
    if (shm != nullptr) {
      wl_shm_destroy(shm);
    }
  }
  ScreencopyGlobals(const ScreencopyGlobals&) = delete;
  ScreencopyGlobals& operator=(const ScreencopyGlobals&) = delete;

  zwlr_screencopy_manager_v1* const manager;
  wl_shm* const shm;
};

wl_output* outputProxy(const WaylandOutputs& outputs, std::uint32_t displayID) {
  for (const auto& output : outputs.outputs()) {
    if (output.displayID == displayID) {
      return output.proxy;
    }
  }
  return nullptr;
}

// One output's capture on a connection of its own: keeps one copy request at the compositor
// whenever the frame interval and the consumer allow one, and hands the NV12 pictures to the
// output on the thread that runs it. Ends with the delegate told when the output goes away or
// the compositor is lost.
class WaylandCaptureLoop : public CaptureLoop {
  struct PrivateTag {};

 public:
  static Result<std::shared_ptr<WaylandCaptureLoop>> create(const std::string& socketName, const CaptureLoopSettings& settings,
                                                            std::weak_ptr<ScreenCaptureStreamOutput> output,
                                                            std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
    using Failure = Result<std::shared_ptr<WaylandCaptureLoop>>;
    auto connection = WaylandConnection::open(socketName);
    if (!connection) {
      return Failure::failure(connection.error());
    }
    auto loop = std::make_shared<WaylandCaptureLoop>(PrivateTag{}, std::move(connection.value()), settings, std::move(output),
                                                     std::move(delegate));
    if (loop->globals_.manager == nullptr || loop->globals_.shm == nullptr) {
      return Failure::failure("the Wayland compositor no longer offers screen copies");
    }
    if (outputProxy(*loop->outputs_, settings.displayID) == nullptr) {
      return Failure::failure(unavailable(settings.displayID));
    }
    if (!loop->stopEvent_.isOpen()) {
      return Failure::failure(std::string("eventfd failed: ") + std::strerror(errno));
    }
    return loop;
  }

  WaylandCaptureLoop(PrivateTag, std::unique_ptr<WaylandConnection> connection, const CaptureLoopSettings& settings,
                     std::weak_ptr<ScreenCaptureStreamOutput> output, std::weak_ptr<ScreenCaptureStreamDelegate> delegate)
      : connection_(std::move(connection)),
        settings_(settings),
        delegate_(std::move(delegate)),
        globals_(*connection_),
        outputs_(std::make_unique<WaylandOutputs>(*connection_)),
        screencopy_(globals_.manager, globals_.shm),
        delivery_(settings, std::move(output)),
        schedule_(settings.minimumFrameInterval) {
    outputs_->setChangeHandler([this] { outputsChanged_ = true; });
  }

  ~WaylandCaptureLoop() override { outputs_->setChangeHandler(nullptr); }
  WaylandCaptureLoop(const WaylandCaptureLoop&) = delete;
  WaylandCaptureLoop& operator=(const WaylandCaptureLoop&) = delete;

  // Returns when a stop was requested or the capture ended with an error.
  void run() override {
    if (!capture()) {
      return;
    }
    if (const auto delegate = delegate_.lock()) {
      delegate->streamDidStopWithError(endError_.value_or("the capture ended"));
    }
  }

  // Any thread; run() returns soon after.
  void requestStop() override { stopEvent_.signal(); }

 private:
  // False when a stop was requested; true when the capture ended on its own (endError_ says why).
  bool capture() {
    bool copying = false;
    // A manager's first copy of an output counts it all as damaged and is answered at once; after
    // a failure a plain copy makes sure the next picture comes.
    bool plainCopy = false;
    bool holdingPicture = false;
    while (!endError_) {
      const auto now = Clock::now();
      const bool due = schedule_.isDue(now);
      if (holdingPicture && due) {
        holdingPicture = !deliver();
        schedule_.postpone(now);
      } else if (!copying && !holdingPicture && due && now >= frameAllowedAt()) {
        schedule_.frameTaken(now);
        wl_output* const output = outputProxy(*outputs_, settings_.displayID);
        if (output == nullptr) {
          endError_ = "display " + std::to_string(settings_.displayID) + " is no longer available";
          break;
        }
        screencopy_.request(output, settings_.showsCursor, !plainCopy);
        copying = true;
        copyRequestedAt_ = now;
      }
      std::optional<Clock::time_point> deadline;
      if (holdingPicture) {
        deadline = schedule_.nextDue();
      } else if (!copying) {
        deadline = std::max(schedule_.nextDue().value_or(now), frameAllowedAt());
      }
      const std::array wakeDescriptors{stopEvent_.descriptor(), delivery_.wakeDescriptor()};
      std::vector<bool> woken;
      if (!connection_->dispatch(deadline, wakeDescriptors, &woken)) {
        endError_ = "the connection to the Wayland compositor was lost (" +
                    connection_->lostReason().value_or("connection lost") + ")";
        break;
      }
      if (woken[0]) {
        return false;
      }
      if (woken[1]) {
        delivery_.takeWakeUp();
      }
      if (std::exchange(outputsChanged_, false) && outputProxy(*outputs_, settings_.displayID) == nullptr) {
        endError_ = "display " + std::to_string(settings_.displayID) + " is no longer available";
        break;
      }
      if (copying && screencopy_.state() != WaylandScreencopy::State::copying) {
        copying = false;
        if (screencopy_.state() == WaylandScreencopy::State::ready) {
          // A still screen keeps a copy waiting for as long as it stays still: that says nothing
          // of how long a copy of a changing one takes, which is at most about a frame.
          copyWaits_.add(std::min<Clock::duration>(Clock::now() - copyRequestedAt_, settings_.minimumFrameInterval));
          plainCopy = false;
          failedCopies_ = 0;
          holdingPicture = !deliver();
        } else {
          plainCopy = true;
          copyFailed();
        }
      }
    }
    return true;
  }

  // The output may be on its way out, its removal not yet read: that ends the stream with its own error.
  void copyFailed() {
    if (const auto& reason = screencopy_.unusableReason()) {
      endError_ = *reason;
      return;
    }
    connection_->roundtrip();
    if (outputProxy(*outputs_, settings_.displayID) == nullptr) {
      endError_ = "display " + std::to_string(settings_.displayID) + " is no longer available";
    } else if (++failedCopies_ >= kMaximumFailedCopies) {
      endError_ = "the compositor refuses to copy display " + std::to_string(settings_.displayID);
    }
  }

  Clock::time_point frameAllowedAt() const {
    // The compositor answers a copy at its next picture: asked that much earlier, by the longest of
    // the recent waits, the frame is ready before the consumer is free.
    return delivery_.frameAllowedAt(copyWaits_.longest());
  }

  // False when every picture is still held downstream: the copy waits in our buffer.
  bool deliver() {
    auto picture = delivery_.acquirePicture();
    if (!picture) {
      return false;
    }
    const auto start = Clock::now();
    converter_.update(screencopy_.picture(), screencopy_.changed(), *picture);
    // When the compositor showed the picture, unless its clock is not ours.
    const double shownAt = screencopy_.shownAt();
    const double startSeconds = secondsOf(start);
    delivery_.deliver(std::move(picture), shownAt <= startSeconds && shownAt > startSeconds - 1 ? shownAt : startSeconds,
                      start);
    return true;
  }

  // Declared in the order of teardown, reversed: every proxy goes before the connection.
  const std::unique_ptr<WaylandConnection> connection_;
  const CaptureLoopSettings settings_;
  const std::weak_ptr<ScreenCaptureStreamDelegate> delegate_;
  ScreencopyGlobals globals_;
  const std::unique_ptr<WaylandOutputs> outputs_;
  WaylandScreencopy screencopy_;
  const WakeEvent stopEvent_;
  ArgbFrameConverter converter_;
  CaptureDelivery delivery_;
  FrameSchedule schedule_;
  Clock::time_point copyRequestedAt_;
  RecentDurations copyWaits_;  // from request to ready
  bool outputsChanged_ = false;
  int failedCopies_ = 0;
  std::optional<std::string> endError_;
};

}  // namespace

// A copy of the first output: where the compositor refuses this client, it says so only here.
struct WaylandCaptureBackend::TestCopy {
  TestCopy(WaylandConnection& connection, const WaylandOutput& output)
      : globals(connection), screencopy(globals.manager, globals.shm), outputName(output.name) {
    screencopy.request(output.proxy, false, false);
  }

  ScreencopyGlobals globals;
  WaylandScreencopy screencopy;
  const std::string outputName;
  const Clock::time_point deadline = Clock::now() + kAccessProbeTimeout;
};

Result<std::shared_ptr<WaylandCaptureBackend>> WaylandCaptureBackend::open(const std::string& socketName) {
  using Failure = Result<std::shared_ptr<WaylandCaptureBackend>>;
  auto connection = WaylandConnection::open(socketName);
  if (!connection) {
    return Failure::failure(connection.error());
  }
  for (const char* needed : {zwlr_screencopy_manager_v1_interface.name, wl_shm_interface.name}) {
    if (!connection.value()->findGlobal(needed)) {
      const bool newerProtocolOnly = connection.value()->findGlobal("ext_image_copy_capture_manager_v1").has_value();
      return Failure::failure(std::string("the Wayland compositor has no ") + needed + ": it offers screen copies " +
                              (newerProtocolOnly ? "only through ext-image-copy-capture, which is not supported" : "not at all"));
    }
  }
  auto backend = std::make_shared<WaylandCaptureBackend>(PrivateTag{}, socketName, std::move(connection.value()));
  // Before the main loop runs, the first test copy may be waited for.
  std::lock_guard lock(backend->connectionLock_);
  backend->startTestCopy();
  while (backend->testCopy_ && backend->connection_->dispatch(backend->testCopy_->deadline)) {
    backend->takeTestCopyOutcome(Clock::now());
  }
  if (backend->testCopy_) {
    backend->takeTestCopyOutcome(backend->testCopy_->deadline);  // the connection was lost: no answer will come
  }
  return backend;
}

WaylandCaptureBackend::WaylandCaptureBackend(PrivateTag, std::string socketName, std::unique_ptr<WaylandConnection> connection)
    : socketName_(std::move(socketName)),
      connection_(std::move(connection)),
      outputs_(std::make_unique<WaylandOutputs>(*connection_)) {}

WaylandCaptureBackend::~WaylandCaptureBackend() = default;

void WaylandCaptureBackend::startTestCopy() {
  const auto outputs = outputs_->outputs();
  if (!outputs.empty()) {
    testCopy_ = std::make_unique<TestCopy>(*connection_, outputs.front());
  }
}

void WaylandCaptureBackend::takeTestCopyOutcome(Clock::time_point now) {
  static const log::Logger logger("ScreenCapture");
  const auto state = testCopy_->screencopy.state();
  if (state == WaylandScreencopy::State::copying && now < testCopy_->deadline) {
    return;
  }
  copySucceeded_ = state == WaylandScreencopy::State::ready;
  if (!copySucceeded_) {
    logger.notice("A test copy of output {} failed: {}", testCopy_->outputName,
                  testCopy_->screencopy.unusableReason().value_or(
                      state == WaylandScreencopy::State::failed ? "the compositor refused it" : "the compositor did not answer"));
  }
  testCopy_.reset();
}

bool WaylandCaptureBackend::hasScreenCaptureAccess() {
  std::lock_guard lock(connectionLock_);
  // The round trip also brings in what the compositor answered to a test copy since the last check.
  if (!connection_->roundtrip()) {
    return false;
  }
  if (!copySucceeded_ && testCopy_) {
    takeTestCopyOutcome(Clock::now());
  }
  if (!copySucceeded_ && !testCopy_) {
    startTestCopy();
    // The compositor offers its buffers at once; the copy asked for then goes out without a wait.
    connection_->roundtrip();
    connection_->dispatch(Clock::now());
  }
  return copySucceeded_;
}

bool WaylandCaptureBackend::requestScreenCaptureAccess() { return hasScreenCaptureAccess(); }

void WaylandCaptureBackend::listCapturableDisplays(CapturableDisplaysCompletion completion) {
  CapturableDisplays content;
  {
    std::lock_guard lock(connectionLock_);
    // Outputs that came or went since the last look are read first.
    if (!connection_->roundtrip()) {
      completion(Result<CapturableDisplays>::failure("the connection to the Wayland compositor was lost (" +
                                                     connection_->lostReason().value_or("connection lost") + ")"));
      return;
    }
    for (const auto& output : outputs_->outputs()) {
      content.displayIDs.push_back(output.displayID);
    }
  }
  completion(std::move(content));
}

std::shared_ptr<ScreenCaptureStream> WaylandCaptureBackend::makeStream(std::uint32_t displayID,
                                                                       const ScreenCaptureStreamConfiguration& configuration,
                                                                       std::weak_ptr<ScreenCaptureStreamDelegate> delegate) {
  return makeCaptureLoopStream(
      "Wayland", displayID, configuration, std::move(delegate),
      [socketName = socketName_](const CaptureLoopSettings& settings, std::weak_ptr<ScreenCaptureStreamOutput> frameOutput,
                                 std::weak_ptr<ScreenCaptureStreamDelegate> stopDelegate) -> Result<std::shared_ptr<CaptureLoop>> {
        auto loop = WaylandCaptureLoop::create(socketName, settings, std::move(frameOutput), std::move(stopDelegate));
        if (!loop) {
          return Result<std::shared_ptr<CaptureLoop>>::failure(loop.error());
        }
        return std::shared_ptr<CaptureLoop>(std::move(loop.value()));
      },
      lingeringThreads_);
}

}  // namespace velmora
