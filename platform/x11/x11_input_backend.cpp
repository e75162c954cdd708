#include "platform/x11/x11_input_backend.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "platform/desktop/pointer_policy.h"
#include "platform/x11/x11_monitors.h"

namespace velmora {
namespace {

constexpr unsigned kScrollUpButton = 4;
constexpr unsigned kScrollDownButton = 5;
constexpr unsigned kScrollLeftButton = 6;
constexpr unsigned kScrollRightButton = 7;
// More clicks than any one scroll message asks for; a bound on a loop driven by the client.

unsigned xButton(PointerButton button) {
  switch (button) {
    case PointerButton::right:
      return Button3;
    case PointerButton::center:
      return Button2;
    case PointerButton::left:
      break;
  }
  return Button1;
}


bool hasXTest(Display* display) {
  int eventBase = 0;
  int errorBase = 0;
  int major = 0;
  int minor = 0;
  return XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor) == True;
}

}  // namespace

Result<std::shared_ptr<X11InputBackend>> makeX11InputBackend(const std::string& displayName, X11InputTiming timing) {
  auto displays = X11DisplaySource::open(displayName);
  if (!displays) {
    return Result<std::shared_ptr<X11InputBackend>>::failure(displays.error());
  }
  return makeX11InputBackend(std::move(displays.value()), displayName, timing);
}

Result<std::shared_ptr<X11InputBackend>> makeX11InputBackend(std::shared_ptr<const X11DisplaySource> displays,
                                                             const std::string& displayName, X11InputTiming timing) {
  using Failure = Result<std::shared_ptr<X11InputBackend>>;
  auto connection = openX11Connection(displayName);
  if (!connection) {
    return Failure::failure(connection.error());
  }
  if (!hasXTest(connection.value().get())) {
    return Failure::failure("the X display has no XTEST extension");
  }
  // Our own fake input must not be held back by another client's grab of the server.
  XTestGrabControl(connection.value().get(), True);
  auto restorerConnection = openX11Connection(displayName);
  if (!restorerConnection) {
    return Failure::failure(restorerConnection.error());
  }
  // Without it the keymap is read for every key, as where the server has no XKB.
  auto keymapWatch = openX11Connection(displayName);
  auto clipboard = X11Clipboard::open(displayName);
  if (!clipboard) {
    return Failure::failure(clipboard.error());
  }
  return std::make_shared<X11InputBackend>(X11InputBackend::PrivateTag{}, std::move(displays), std::move(connection.value()),
                                           std::move(restorerConnection.value()),
                                           keymapWatch ? std::move(keymapWatch.value()) : X11Connection(),
                                           std::move(clipboard.value()), timing);
}

X11InputBackend::X11InputBackend(PrivateTag, std::shared_ptr<const X11DisplaySource> displays,
                                 X11Connection connection, X11Connection restorerConnection, X11Connection keymapWatch,
                                 std::unique_ptr<X11Clipboard> clipboard, X11InputTiming timing)
    : DisplaySourceInputBackend(displays),
      displays_(std::move(displays)),
      connection_(std::move(connection)),
      keyboard_(connection_.get(), std::move(restorerConnection), std::move(keymapWatch), timing),
      clipboard_(std::move(clipboard)) {}

X11InputBackend::~X11InputBackend() {
  for (const unsigned button : heldButtons_.releaseAll()) {
    XTestFakeButtonEvent(connection_.get(), button, False, CurrentTime);
  }
  XSync(connection_.get(), True);
}

bool X11InputBackend::isProcessTrusted() const {
  // XTEST was there when we started and only a lost server takes it away, which a round trip
  // notices before events are posted into nothing.
  XSync(connection_.get(), True);
  return !x11ConnectionLost(connection_.get());
}

std::optional<GlobalPoint> X11InputBackend::pointerLocation() const {
  Display* display = connection_.get();
  Window root = None;
  Window child = None;
  RootPoint pixel;
  int windowX = 0;
  int windowY = 0;
  unsigned mask = 0;
  if (x11ConnectionLost(display) ||
      !XQueryPointer(display, DefaultRootWindow(display), &root, &child, &pixel.x, &pixel.y, &windowX, &windowY, &mask)) {
    return std::nullopt;
  }
  return readRootMapping().globalPoint(pixel);
}

void X11InputBackend::postPointerEvent(const PointerEvent& event) {
  Display* display = connection_.get();
  if (x11ConnectionLost(display)) {
    return;
  }
  const RootPoint pixel = readRootMapping().rootPoint(event.location);
  // A drag is a motion while the button the client pressed earlier is still down.
  XTestFakeMotionEvent(display, DefaultScreen(display), pixel.x, pixel.y, CurrentTime);
  XFlush(display);
  if (const auto down = isButtonDown(event.type)) {
    fakeButton(xButton(event.button), *down);
  }
  XSync(display, True);
}

void X11InputBackend::postScrollWheelEvent(const ScrollWheelEvent& event) {
  if (x11ConnectionLost(connection_.get())) {
    return;
  }
  // X scrolls by clicks of buttons 4 to 7, in both units.
  const auto click = [this](unsigned backwardButton, unsigned forwardButton, std::int32_t steps) {
    for (std::int32_t index = 0; index < std::abs(steps); ++index) {
      fakeButton(steps < 0 ? backwardButton : forwardButton, true);
      fakeButton(steps < 0 ? backwardButton : forwardButton, false);
    }
  };
  click(kScrollUpButton, kScrollDownButton, axisSteps(event.wheel1));
  click(kScrollLeftButton, kScrollRightButton, axisSteps(event.wheel2));
  XSync(connection_.get(), True);
}

bool X11InputBackend::postKeyboardEvent(const KeyboardEvent& event) {
  return !x11ConnectionLost(connection_.get()) && keyboard_.postKey(event.virtualKey, event.keyDown, event.flags);
}

void X11InputBackend::postUnicodeString(std::string_view text) {
  if (!x11ConnectionLost(connection_.get())) {
    keyboard_.typeText(text);
  }
}

void X11InputBackend::setClipboardText(std::string text) { clipboard_->setText(std::move(text)); }

std::size_t X11InputBackend::spareKeyCount() const { return keyboard_.spareKeyCount(); }

std::size_t X11InputBackend::lentSpareKeyCount() const { return keyboard_.lentSpareKeyCount(); }

X11RootMapping X11InputBackend::readRootMapping() const {
  Display* display = connection_.get();
  // Xlib's extensions keep per-connection records that a lost connection never frees.
  if (x11ConnectionLost(display)) {
    return X11RootMapping({}, 1);
  }
  return X11RootMapping(displays_->monitors(), readXftScale(display));
}

void X11InputBackend::fakeButton(unsigned button, bool down) {
  XTestFakeButtonEvent(connection_.get(), button, down ? True : False, CurrentTime);
  XFlush(connection_.get());
  heldButtons_.note(button, down);
}

}  // namespace velmora
