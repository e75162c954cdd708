#pragma once

#include <atomic>
#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/log/log.h"
#include "platform/result.h"
#include "platform/wake_event.h"

namespace velmora {

// The CLIPBOARD selection of an X display, owned by a hidden window on a connection and thread
// of its own. Requestors get the text as UTF8_STRING, TEXT or (when every character is Latin-1)
// STRING, and TARGETS lists what is offered; texts above the server's request size go out in
// INCR pieces. Another client taking the selection drops the text.
class X11Clipboard {
  struct PrivateTag {};
  class Owner;

 public:
  // Fails when the display cannot be opened.
  static Result<std::unique_ptr<X11Clipboard>> open(const std::string& displayName = {});

  X11Clipboard(PrivateTag, std::unique_ptr<Owner> owner, WakeEvent wakeEvent);
  ~X11Clipboard();
  X11Clipboard(const X11Clipboard&) = delete;
  X11Clipboard& operator=(const X11Clipboard&) = delete;

  // Owns the selection with `text` (UTF-8) once this returns true; false (logged) when the
  // selection could not be taken. Any thread.
  bool setText(std::string text);

  // Texts longer than this many bytes go out in INCR pieces of at most this size.
  std::size_t incrementalThreshold() const { return incrementalThreshold_; }

 private:
  struct OwnershipRequest {
    std::shared_ptr<const std::string> text;
    std::promise<bool> taken;
  };

  void run();
  void serve();
  std::shared_ptr<OwnershipRequest> takePendingRequest();

  const log::Logger logger_{"EventInjector"};
  // Used and closed on the clipboard thread alone: Xlib leaves a connection that lost its server
  // locked to the thread that noticed.
  std::unique_ptr<Owner> owner_;
  const std::size_t incrementalThreshold_;
  const WakeEvent wakeEvent_;
  std::atomic<bool> stopping_ = false;

  std::mutex pendingRequestLock_;
  std::shared_ptr<OwnershipRequest> pendingRequest_;

  std::thread thread_;
};

}  // namespace velmora
