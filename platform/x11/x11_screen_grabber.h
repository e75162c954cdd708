#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/libyuv/argb_frame_converter.h"
#include "platform/result.h"
#include "platform/x11/x11_connection.h"

namespace velmora {

// Copies rectangles of a fixed size out of the root window of a connection: through a shared
// memory segment (MIT-SHM) where the server offers one, else with plain GetImage requests.
// Only 32-bit TrueColor screens in B, G, R, X byte order are supported (what X servers use on
// little-endian machines). Use it on the thread that owns the connection.
class X11ScreenGrabber {
  struct State;
  struct PrivateTag {};

 public:
  enum class Transfer { automatic, getImageOnly };

  static Result<std::unique_ptr<X11ScreenGrabber>> create(_XDisplay* display, int width, int height,
                                                          Transfer transfer = Transfer::automatic);

  X11ScreenGrabber(PrivateTag, std::unique_ptr<State> state);
  ~X11ScreenGrabber();
  X11ScreenGrabber(const X11ScreenGrabber&) = delete;
  X11ScreenGrabber& operator=(const X11ScreenGrabber&) = delete;

  // The root window's pixels at (x, y) and the grabber's size, valid until the next grab and
  // writable (the cursor is drawn into them); none when the server refused (the rectangle is not
  // wholly on the screen, for instance).
  std::optional<ArgbImage> grab(int x, int y);
  // The same with only rows [firstRow, firstRow + rowCount) read again: the other rows keep what
  // the grabs before left in them (drawn cursors included). Over shared memory only; a whole grab
  // otherwise.
  std::optional<ArgbImage> grabRows(int x, int y, int firstRow, int rowCount);

  int width() const;
  int height() const;
  // Whether the pixels stay between grabs, so that grabRows() reads only what it names.
  bool usesSharedMemory() const;
  // Why shared memory is not used; empty when it is.
  const std::string& sharedMemoryUnavailableReason() const;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace velmora
