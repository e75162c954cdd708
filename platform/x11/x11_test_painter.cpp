#include "platform/x11/x11_test_painter.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

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

bool X11TestPainter::setOutputEdid(const std::string& outputName, const std::vector<std::uint8_t>& edid) {
  Display* display = connection_.get();
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, DefaultRootWindow(display));
  if (resources == nullptr) {
    return false;
  }
  bool found = false;
  for (int index = 0; index < resources->noutput && !found; ++index) {
    XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[index]);
    if (info != nullptr && outputName == info->name) {
      XRRChangeOutputProperty(display, resources->outputs[index], XInternAtom(display, RR_PROPERTY_RANDR_EDID, False), XA_INTEGER,
                              8, PropModeReplace, edid.data(), static_cast<int>(edid.size()));
      found = true;
    }
    if (info != nullptr) {
      XRRFreeOutputInfo(info);
    }
  }
  XRRFreeScreenResources(resources);
  XSync(display, False);
  return found;
}

void X11TestPainter::sync() { XSync(connection_.get(), False); }

}  // namespace velmora
