#pragma once

#include <memory>
#include <string>

#include "platform/result.h"

// Xlib's Display, declared here so that this header pulls in no X11 header.
struct _XDisplay;

namespace velmora {

struct X11DisplayCloser {
  void operator()(_XDisplay* display) const;
};

// One connection to an X server, used by one component. Closed when dropped.
using X11Connection = std::unique_ptr<_XDisplay, X11DisplayCloser>;

// Opens a connection to `displayName` ($DISPLAY when empty). The first call makes Xlib safe for
// threads and replaces its handlers that end the process: protocol errors are logged (or caught by
// an X11ErrorTrap), and a lost server leaves the connection inert instead of exiting.
Result<X11Connection> openX11Connection(const std::string& displayName = {});

// True once the server of this connection is gone; every later request on it does nothing.
bool x11ConnectionLost(_XDisplay* display);

// Catches the protocol errors that this thread's requests cause while it exists, instead of
// logging them. Xlib reports an error on the thread that reads it, so the connection must be used
// by this thread alone meanwhile.
class X11ErrorTrap {
 public:
  X11ErrorTrap();
  ~X11ErrorTrap();
  X11ErrorTrap(const X11ErrorTrap&) = delete;
  X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

  // Waits until the server has answered every request made so far; the first error code caught
  // (0 when none).
  int sync(_XDisplay* display);
  int firstErrorCode() const { return firstErrorCode_; }

  void record(int errorCode);

 private:
  X11ErrorTrap* enclosing_;
  int firstErrorCode_ = 0;
};

}  // namespace velmora
