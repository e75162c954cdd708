// KWin 5.27 records an output's stream only when that output reports a presented frame, which its
// DRM outputs do and its virtual and nested-X11 outputs never do: on those, a stream gets a node
// that negotiates a format and then carries no picture.
#include "platform/kwin/kwin_screencast.h"

#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/kwin/protocols/zkde-screencast-unstable-v1-client.h"
#include "platform/log/log.h"

namespace velmora {
namespace {

// KWin answers a stream request within a frame or two; beyond this it is not going to.
constexpr auto kNodeDeadline = std::chrono::seconds(5);

const log::Logger logger("ScreenCapture");

// One stream's answers from KWin, written on the connection's thread, waited for on the stream's.
struct StreamState {
  std::string what;
  std::mutex lock;
  std::condition_variable answered;
  std::optional<std::uint32_t> node;
  std::optional<std::string> ended;  // why KWin failed or closed the stream

  static void created(void* data, zkde_screencast_stream_unstable_v1*, std::uint32_t node) {
    auto* state = static_cast<StreamState*>(data);
    {
      std::lock_guard guard(state->lock);
      state->node = node;
    }
    state->answered.notify_all();
  }
  static void failed(void* data, zkde_screencast_stream_unstable_v1*, const char* error) {
    static_cast<StreamState*>(data)->end(std::string("KWin failed the stream: ") + (error != nullptr ? error : ""));
  }
  static void closed(void* data, zkde_screencast_stream_unstable_v1*) {
    static_cast<StreamState*>(data)->end("KWin closed the stream");
  }
  // After the node came, its PipeWire stream ends too and the capture loop reports that; the
  // log line says who ended it.
  void end(const std::string& reason) {
    bool streamed = false;
    {
      std::lock_guard guard(lock);
      streamed = node.has_value();
      ended = reason;
    }
    answered.notify_all();
    if (streamed) {
      logger.error("{}: {}", what, reason);
    }
  }
};

}  // namespace

KwinScreencast::KwinScreencast(std::shared_ptr<WaylandSharedConnection> connection, zkde_screencast_unstable_v1* manager)
    : connection_(std::move(connection)),
      manager_(manager),
      // KWin 5.27's virtual outputs crash KWin at the first pointer motion over a stream with the
      // cursor drawn in; tests on them, which never get a picture anyway, ask for no cursor.
      pointerMode_(std::getenv("VELMORA_TEST_KWIN_HIDDEN_CURSOR") != nullptr ? ZKDE_SCREENCAST_UNSTABLE_V1_POINTER_HIDDEN
                                                                              : ZKDE_SCREENCAST_UNSTABLE_V1_POINTER_EMBEDDED) {}

KwinScreencast::~KwinScreencast() {
  connection_->performOrRunHere([this] { zkde_screencast_unstable_v1_destroy(manager_); });
}

bool KwinScreencast::sessionRunning() { return connection_->connected(); }

Result<CapturableDisplays> KwinScreencast::recordedDisplays() {
  CapturableDisplays displays;
  if (!connection_->perform([&] {
        for (const auto& output : connection_->outputs().outputs()) {
          displays.displayIDs.push_back(output.displayID);
        }
      })) {
    return Result<CapturableDisplays>::failure("KWin is gone");
  }
  return displays;
}

Result<PipeWireSource> KwinScreencast::nodeOf(std::uint32_t displayID, const std::string& what) {
  using Failure = Result<PipeWireSource>;
  auto state = std::make_shared<StreamState>();
  state->what = what;
  zkde_screencast_stream_unstable_v1* stream = nullptr;
  bool found = false;
  if (!connection_->perform([&] {
        const auto outputs = connection_->outputs().outputs();
        const auto output = std::find_if(outputs.begin(), outputs.end(),
                                         [displayID](const WaylandOutput& each) { return each.displayID == displayID; });
        if (output == outputs.end()) {
          return;
        }
        found = true;
        stream = zkde_screencast_unstable_v1_stream_output(manager_, output->proxy, pointerMode_);
        static const zkde_screencast_stream_unstable_v1_listener listener = {StreamState::closed, StreamState::created,
                                                                             StreamState::failed};
        zkde_screencast_stream_unstable_v1_add_listener(stream, &listener, state.get());
      })) {
    return Failure::failure(what + ": KWin is gone");
  }
  if (!found) {
    return Failure::failure(what + " is not one of KWin's outputs");
  }
  // Closes the stream on the connection's thread; the state its listener writes goes after.
  std::shared_ptr<void> keepAlive(stream, [connection = connection_, state](void* proxy) {
    connection->performOrRunHere([proxy] {
      zkde_screencast_stream_unstable_v1_close(static_cast<zkde_screencast_stream_unstable_v1*>(proxy));
    });
  });
  std::unique_lock guard(state->lock);
  if (!state->answered.wait_for(guard, kNodeDeadline, [&] { return state->node || state->ended; })) {
    return Failure::failure(what + ": KWin did not start its stream");
  }
  if (!state->node) {
    return Failure::failure(what + ": " + *state->ended);
  }
  logger.info("{}: KWin streams it as PipeWire node {}", what, *state->node);
  return PipeWireSource{-1, *state->node, what, std::move(keepAlive)};
}

}  // namespace velmora
