#include "platform/x11/x11_test_painter.h"

#include <X11/Xlib.h>

namespace velmora {

Result<std::unique_ptr<X11TestPainter>> X11TestPainter::open(const std::string& displayName) {
  auto connection = openX11Connection(displayName);
  if (!connection) {
    return Result<std::unique_ptr<X11TestPainter>>::failure(connection.error());
  }
  return std::make_unique<X11TestPainter>(PrivateTag{}, std::move(connection.value()));
}

X11TestPainter::X11TestPainter(PrivateTag, X11Connection connection)
    : connection_(std::move(connection)),
      rootGraphicsContext_(XCreateGC(connection_.get(), DefaultRootWindow(connection_.get()), 0, nullptr)) {}

X11TestPainter::~X11TestPainter() {
  XFreeGC(connection_.get(), static_cast<GC>(rootGraphicsContext_));
  XSync(connection_.get(), False);
}

std::uint64_t X11TestPainter::showWindow(const PixelRect& area, std::uint32_t rgb) {
  Display* display = connection_.get();
  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;
  attributes.background_pixel = rgb;
  const Window window = XCreateWindow(display, DefaultRootWindow(display), area.x, area.y, static_cast<unsigned>(area.width),
                                      static_cast<unsigned>(area.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                      CWOverrideRedirect | CWBackPixel, &attributes);
  XMapRaised(display, window);
  XSync(display, False);
  return window;
}

void X11TestPainter::fillRoot(const PixelRect& area, std::uint32_t rgb) {
  Display* display = connection_.get();
  XSetForeground(display, static_cast<GC>(rootGraphicsContext_), rgb);
  XFillRectangle(display, DefaultRootWindow(display), static_cast<GC>(rootGraphicsContext_), area.x, area.y,
                 static_cast<unsigned>(area.width), static_cast<unsigned>(area.height));
  XFlush(display);
}

void X11TestPainter::sync() { XSync(connection_.get(), False); }

}  // namespace velmora
