#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_monitor_layout.h"

namespace velmora {

// Draws on an X screen for tests and benchmarks, on a connection of its own. Windows it shows go
// away with it.
class X11TestPainter {
  struct PrivateTag {};

 public:
  static Result<std::unique_ptr<X11TestPainter>> open(const std::string& displayName);

  X11TestPainter(PrivateTag, X11Connection connection);
  ~X11TestPainter();
  X11TestPainter(const X11TestPainter&) = delete;
  X11TestPainter& operator=(const X11TestPainter&) = delete;

  // A borderless window of one colour (0xRRGGBB) above the others, mapped when this returns.
  std::uint64_t showWindow(const PixelRect& area, std::uint32_t rgb);
  void fillRoot(const PixelRect& area, std::uint32_t rgb);
  // Returns once the server has carried out everything asked so far.
  void sync();

 private:
  X11Connection connection_;
  void* rootGraphicsContext_;  // Xlib's GC, kept opaque here
};

}  // namespace velmora
