#pragma once

#include <chrono>

struct _XDisplay;

namespace velmora {

enum class FocusPingOutcome {
  answered,     // the client has read every event sent to it before the ping
  unsupported,  // nothing has the focus, or its client does not answer pings
  timedOut,
};

// Sends a _NET_WM_PING to the top-level window of the client that has the keyboard focus and
// waits for its answer. Clients answer pings in the order they read events, so an answer proves
// that every key event delivered before the ping has been read and translated. Uses `display` on
// the calling thread alone meanwhile; other events queued on it are dropped.
FocusPingOutcome pingFocusedClient(_XDisplay* display, std::chrono::milliseconds timeout);

}  // namespace velmora
