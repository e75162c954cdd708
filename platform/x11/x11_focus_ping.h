#pragma once

#include <chrono>
#include <vector>

struct _XDisplay;

namespace velmora {

enum class FocusPingOutcome {
  answered,     // the client has read every event sent to it before the ping
  unsupported,  // nothing has the focus, or its client does not answer pings
  timedOut,
};

// Sends a _NET_WM_PING to the top-level window of the client that has the keyboard focus and
// waits for its answer. Clients answer pings in the order they read events, so an answer proves
// that every event delivered to it before the ping has been read. Some clients answer without
// listing the protocol (Tk), so every client with WM_PROTOCOLS is asked; a window that let a ping
// time out is not asked again. Uses the display on the calling thread alone meanwhile, and drops
// the other events queued on it.
class X11FocusPinger {
 public:
  explicit X11FocusPinger(std::chrono::milliseconds timeout) : timeout_(timeout) {}

  FocusPingOutcome ping(_XDisplay* display);

 private:
  static constexpr std::size_t kMostSilentWindows = 64;

  const std::chrono::milliseconds timeout_;
  std::vector<unsigned long> silentWindows_;
};

}  // namespace velmora
