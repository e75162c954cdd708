// x11_event_recorder: a test tool. Lists the RandR monitors of $DISPLAY, then (unless given
// --list-monitors) shows a window at a given place on the root window, takes the keyboard focus
// and prints one line per pointer or key event that reaches it, so that end-to-end tests can see
// what injected input did:
//   monitor NAME ID X Y WIDTH HEIGHT    one per monitor; ID is the monitor's name atom
//   ready                               the window is mapped and focused
//   motion X Y STATE                    window coordinates, the held buttons and modifiers
//   buttonPress BUTTON X Y / buttonRelease BUTTON X Y
//   keyPress KEYCODE KEYSYM STATE U+XXXX   the character the key gives, "-" for none
//   keyRelease KEYCODE KEYSYM STATE U+XXXX
// Ends when killed or when the X server goes away (Xlib's default handler exits).
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr int kUsage = 2;

// A non-negative number of at most six digits.
std::optional<int> parseInteger(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  const bool valid = error == std::errc{} && end == text.data() + text.size() && text.size() <= 6 && text[0] != '-';
  return valid ? std::optional(value) : std::nullopt;
}

void printMonitors(Display* display) {
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, DefaultRootWindow(display), True, &count);
  for (int index = 0; index < count; ++index) {
    char* name = XGetAtomName(display, monitors[index].name);
    std::printf("monitor %s %lu %d %d %d %d\n", name != nullptr ? name : "?", monitors[index].name, monitors[index].x,
                monitors[index].y, monitors[index].width, monitors[index].height);
    XFree(name);
  }
  XRRFreeMonitors(monitors);
}

// The character a client reading the keysym would take it for, or nothing.
std::optional<unsigned long> characterOf(KeySym keysym) {
  if ((keysym >= 0x20 && keysym <= 0x7E) || (keysym >= 0xA0 && keysym <= 0xFF)) {
    return keysym;
  }
  return keysym >= 0x1000100 && keysym <= 0x110FFFF ? std::optional(keysym - 0x1000000) : std::nullopt;
}

void printKey(const char* kind, XKeyEvent& key) {
  char text[32];
  KeySym keysym = NoSymbol;
  XLookupString(&key, text, sizeof text, &keysym, nullptr);
  const char* name = XKeysymToString(keysym);
  char codePoint[16] = "-";
  if (const auto character = characterOf(keysym)) {
    std::snprintf(codePoint, sizeof codePoint, "U+%04lX", *character);
  }
  std::printf("%s %u %s %u %s\n", kind, key.keycode, name != nullptr ? name : "NoSymbol", key.state, codePoint);
}

int record(Display* display, int x, int y, int width, int height) {
  // Input injection lends spare key codes keysyms on the fly: follow the mapping through XKB as
  // toolkits do, or the keys would be looked up in a stale copy.
  int xkbOpcode = 0, xkbEventBase = 0, xkbErrorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  const bool hasXkb = XkbQueryExtension(display, &xkbOpcode, &xkbEventBase, &xkbErrorBase, &major, &minor) &&
                      XkbSelectEvents(display, XkbUseCoreKbd, XkbMapNotifyMask, XkbMapNotifyMask);

  XSetWindowAttributes attributes{};
  attributes.override_redirect = True;  // exactly where asked, with or without a window manager
  attributes.background_pixel = WhitePixel(display, DefaultScreen(display));
  const Window window =
      XCreateWindow(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                    CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
  XSelectInput(display, window,
               KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | StructureNotifyMask);
  XMapRaised(display, window);

  while (true) {
    XEvent event;
    XNextEvent(display, &event);
    if (hasXkb && event.type == xkbEventBase && reinterpret_cast<XkbEvent*>(&event)->any.xkb_type == XkbMapNotify) {
      XkbRefreshKeyboardMapping(&reinterpret_cast<XkbEvent*>(&event)->map);
      continue;
    }
    switch (event.type) {
      case MapNotify:
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
        XSync(display, False);
        std::printf("ready\n");
        break;
      case MappingNotify:
        XRefreshKeyboardMapping(&event.xmapping);
        break;
      case MotionNotify:
        std::printf("motion %d %d %u\n", event.xmotion.x, event.xmotion.y, event.xmotion.state);
        break;
      case ButtonPress:
      case ButtonRelease:
        std::printf("%s %u %d %d\n", event.type == ButtonPress ? "buttonPress" : "buttonRelease", event.xbutton.button,
                    event.xbutton.x, event.xbutton.y);
        break;
      case KeyPress:
      case KeyRelease:
        printKey(event.type == KeyPress ? "keyPress" : "keyRelease", event.xkey);
        break;
      default:
        break;
    }
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string usage = "usage: x11_event_recorder --list-monitors | X Y WIDTH HEIGHT (root window pixels)\n";
  const bool listOnly = argc == 2 && std::string_view(argv[1]) == "--list-monitors";
  std::optional<int> geometry[4];
  if (!listOnly) {
    if (argc != 5) {
      std::fputs(usage.c_str(), stderr);
      return kUsage;
    }
    for (int index = 0; index < 4; ++index) {
      geometry[index] = parseInteger(argv[index + 1]);
      if (!geometry[index] || (index >= 2 && *geometry[index] == 0)) {
        std::fprintf(stderr, "x11_event_recorder: bad number \"%s\"\n%s", argv[index + 1], usage.c_str());
        return kUsage;
      }
    }
  }

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    const char* name = std::getenv("DISPLAY");
    std::fprintf(stderr, "x11_event_recorder: cannot open the X display \"%s\"\n", name != nullptr ? name : "");
    return EXIT_FAILURE;
  }
  printMonitors(display);
  std::fflush(stdout);
  if (listOnly) {
    XCloseDisplay(display);
    return EXIT_SUCCESS;
  }
  return record(display, *geometry[0], *geometry[1], *geometry[2], *geometry[3]);
}
