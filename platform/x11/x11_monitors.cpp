#include "platform/x11/x11_monitors.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <string>

#include "platform/released_pointer.h"

namespace velmora {
namespace {

constexpr long kLargestResourceDatabase = 1 << 20;  // in 32-bit units, as XGetWindowProperty counts
constexpr long kLargestEdid = 32 * 1024 / 4;        // 256 blocks of 128 bytes, in 32-bit units

void freeX(void* data) { XFree(data); }

bool hasRandrMonitors(Display* display) {
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  return XRRQueryExtension(display, &eventBase, &errorBase) && XRRQueryVersion(display, &major, &minor) &&
         (major > 1 || (major == 1 && minor >= 5));
}

std::string atomName(Display* display, Atom atom) {
  const ReleasedPointer<char, freeX> name(XGetAtomName(display, atom));
  return name ? std::string(name.get()) : std::string();
}

std::optional<std::string> outputEdidName(Display* display, RROutput output, Atom edidAtom) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  if (XRRGetOutputProperty(display, output, edidAtom, 0, kLargestEdid, False, False, AnyPropertyType, &type, &format, &count,
                           &remaining, &data) != Success) {
    return std::nullopt;
  }
  const ReleasedPointer<unsigned char, freeX> owned(data);
  if (data == nullptr || format != 8) {
    return std::nullopt;
  }
  return edidProductName(std::span<const std::uint8_t>(data, count));
}

// The EDID name of the first connected output of the monitor that has one.
std::optional<std::string> monitorEdidName(Display* display, XRRScreenResources* resources, const XRRMonitorInfo& monitor,
                                           Atom edidAtom) {
  for (int index = 0; index < monitor.noutput; ++index) {
    const ReleasedPointer<XRROutputInfo, XRRFreeOutputInfo> info(XRRGetOutputInfo(display, resources, monitor.outputs[index]));
    if (!info || info->connection != RR_Connected) {
      continue;
    }
    if (auto name = outputEdidName(display, monitor.outputs[index], edidAtom)) {
      return name;
    }
  }
  return std::nullopt;
}

}  // namespace

Result<std::vector<X11Monitor>> readX11Monitors(_XDisplay* display, bool activeOnly) {
  if (!hasRandrMonitors(display)) {
    return Result<std::vector<X11Monitor>>::failure("the X server has no RandR 1.5 monitors");
  }
  const Window root = DefaultRootWindow(display);
  int count = 0;
  const ReleasedPointer<XRRMonitorInfo, XRRFreeMonitors> monitors(XRRGetMonitors(display, root, activeOnly ? True : False, &count));
  if (!monitors && count != 0) {
    return Result<std::vector<X11Monitor>>::failure("the X server did not list its monitors");
  }
  const ReleasedPointer<XRRScreenResources, XRRFreeScreenResources> resources(XRRGetScreenResourcesCurrent(display, root));
  const Atom edidAtom = XInternAtom(display, RR_PROPERTY_RANDR_EDID, True);

  std::vector<X11Monitor> result;
  result.reserve(static_cast<std::size_t>(count));
  for (int index = 0; index < count; ++index) {
    const XRRMonitorInfo& info = monitors.get()[index];
    std::optional<std::string> name;
    if (resources && edidAtom != None) {
      name = monitorEdidName(display, resources.get(), info, edidAtom);
    }
    result.push_back(X11Monitor{static_cast<std::uint32_t>(info.name), name ? *name : atomName(display, info.name),
                                info.primary != 0, PixelRect{info.x, info.y, info.width, info.height}});
  }
  return result;
}

double readXftScale(_XDisplay* display) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, DefaultRootWindow(display), XA_RESOURCE_MANAGER, 0, kLargestResourceDatabase, False,
                         XA_STRING, &type, &format, &count, &remaining, &data) != Success) {
    return 1;
  }
  const ReleasedPointer<unsigned char, freeX> owned(data);
  if (data == nullptr || format != 8) {
    return 1;
  }
  return scaleFromResources(std::string_view(reinterpret_cast<const char*>(data), count));
}

}  // namespace velmora
