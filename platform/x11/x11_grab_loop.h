#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/capture_loop_stream.h"
#include "platform/result.h"
#include "platform/screen_capture_backend.h"

namespace velmora {

// One display's capture on a connection of its own: grabs the monitor's area only when something
// drawn in it or the cursor over it changed (and once at the start), never closer together than
// the minimum frame interval and, when paced, only once the consumer asked for the frame; hands
// NV12 pictures to the output on the thread that runs it.
// Ends with the delegate told when the monitor goes away or the server is lost.
class X11GrabLoop : public CaptureLoop {
  struct State;
  struct PrivateTag {};

 public:
  // Connects and prepares everything a grab needs; fails when the display is not there.
  static Result<std::shared_ptr<X11GrabLoop>> create(const std::string& displayName, const CaptureLoopSettings& settings,
                                                     std::weak_ptr<ScreenCaptureStreamOutput> output,
                                                     std::weak_ptr<ScreenCaptureStreamDelegate> delegate);

  X11GrabLoop(PrivateTag, std::unique_ptr<State> state);
  ~X11GrabLoop() override;
  X11GrabLoop(const X11GrabLoop&) = delete;
  X11GrabLoop& operator=(const X11GrabLoop&) = delete;

  // Returns when a stop was requested or the capture ended with an error.
  void run() override;
  // Any thread; run() returns soon after.
  void requestStop() override;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace velmora
