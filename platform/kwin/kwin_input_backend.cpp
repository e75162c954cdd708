#include "platform/kwin/kwin_input_backend.h"

#include <linux/input-event-codes.h>
#include <wayland-client.h>

#include <algorithm>
#include <cmath>

#include "platform/kwin/protocols/fake-input-client.h"

namespace velmora {
namespace {

// XKB key codes are evdev codes plus 8; KWin's fake keyboard takes evdev codes.
constexpr std::uint32_t kEvdevOffset = 8;
// What one wheel click scrolls in KWin's axis units, as libinput reports a click. KWin's fake input
// has no discrete steps: each click goes as one axis request, which clients count as one step.
constexpr double kAxisPerLine = 15;
// Keeps a point on its display: the right and bottom edges belong to the next one.
constexpr double kInsideEdge = 1.0 / 16;

}  // namespace

Result<std::shared_ptr<KwinInputBackend>> KwinInputBackend::create(std::shared_ptr<WaylandSharedConnection> connection,
                                                                   std::shared_ptr<const DisplaySource> displays,
                                                                   org_kde_kwin_fake_input* fakeInput) {
  auto presser = XkbKeyPresser::create();
  if (!presser) {
    org_kde_kwin_fake_input_destroy(fakeInput);
    return Result<std::shared_ptr<KwinInputBackend>>::failure(presser.error());
  }
  auto clipboard = WaylandClipboard::open(connection);
  if (!clipboard) {
    log::Logger("EventInjector").error("No clipboard: {}", clipboard.error());
  }
  // KWin takes no fake input before the program said who it is and why.
  org_kde_kwin_fake_input_authenticate(fakeInput, "Velmora", "Lets a paired device drive the pointer and keyboard");
  return std::make_shared<KwinInputBackend>(PrivateTag{}, std::move(connection), std::move(displays), fakeInput,
                                            std::move(presser.value()),
                                            clipboard ? std::move(clipboard.value()) : nullptr);
}

KwinInputBackend::KwinInputBackend(PrivateTag, std::shared_ptr<WaylandSharedConnection> connection,
                                   std::shared_ptr<const DisplaySource> displays, org_kde_kwin_fake_input* fakeInput,
                                   std::unique_ptr<XkbKeyPresser> presser, std::unique_ptr<WaylandClipboard> clipboard)
    : DisplaySourceInputBackend(std::move(displays)),
      connection_(std::move(connection)),
      fakeInput_(fakeInput),
      presser_(std::move(presser)),
      clipboard_(std::move(clipboard)) {}

KwinInputBackend::~KwinInputBackend() {
  connection_->performOrRunHere([this] {
    for (const std::uint32_t button : heldButtons_.releaseAll()) {
      org_kde_kwin_fake_input_button(fakeInput_, button, WL_POINTER_BUTTON_STATE_RELEASED);
    }
    presser_->releaseHeldKeys([this](std::uint32_t keyCode, bool down) { sendKey(keyCode, down); });
    org_kde_kwin_fake_input_destroy(fakeInput_);
    wl_display_flush(connection_->connection().display());
  });
}

bool KwinInputBackend::isProcessTrusted() const { return connection_->connected(); }

void KwinInputBackend::postPointerEvent(const PointerEvent& event) {
  const auto nearest = geometry().nearestTo(event.location);
  if (!nearest) {
    return;
  }
  // A point between displays goes to an edge of the nearest.
  const Rect target = nearest->bounds;
  const double x = std::clamp(event.location.x, target.x, target.x + std::max(target.width - kInsideEdge, 0.0));
  const double y = std::clamp(event.location.y, target.y, target.y + std::max(target.height - kInsideEdge, 0.0));
  const bool sent = connection_->perform([&, targetID = nearest->displayID] {
    // KWin's positions are its layout's logical points, whose origin is not the main display's.
    const auto outputs = connection_->outputs().outputs();
    const auto output = std::find_if(outputs.begin(), outputs.end(),
                                     [&](const WaylandOutput& each) { return each.displayID == targetID; });
    if (output == outputs.end()) {
      return;
    }
    org_kde_kwin_fake_input_pointer_motion_absolute(fakeInput_,
                                                    wl_fixed_from_double(x - target.x + output->logicalX),
                                                    wl_fixed_from_double(y - target.y + output->logicalY));
    // A drag is a motion while the button the client pressed earlier is still down.
    if (const auto down = isButtonDown(event.type)) {
      const auto button = static_cast<std::uint32_t>(evdevButton(event.button));
      org_kde_kwin_fake_input_button(fakeInput_, button,
                                     *down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
      heldButtons_.note(button, *down);
    }
  });
  if (sent) {
    notePointerSent(event.location);
  }
}

void KwinInputBackend::postScrollWheelEvent(const ScrollWheelEvent& event) {
  connection_->perform([this, &event] {
    for (const auto& [axis, wheel] : {std::pair{WL_POINTER_AXIS_VERTICAL_SCROLL, event.wheel1},
                                      std::pair{WL_POINTER_AXIS_HORIZONTAL_SCROLL, event.wheel2}}) {
      const std::int32_t steps = axisSteps(wheel);
      if (event.units == ScrollUnit::pixel) {
        if (steps != 0) {
          org_kde_kwin_fake_input_axis(fakeInput_, axis, wl_fixed_from_int(steps));
        }
        continue;
      }
      for (std::int32_t click = 0; click < std::abs(steps); ++click) {
        org_kde_kwin_fake_input_axis(fakeInput_, axis, wl_fixed_from_double(steps > 0 ? kAxisPerLine : -kAxisPerLine));
      }
    }
  });
}

bool KwinInputBackend::postKeyboardEvent(const KeyboardEvent& event) {
  bool posted = false;
  connection_->perform([this, &event, &posted] {
    posted = presser_->postKey(event.virtualKey, event.keyDown, event.flags,
                               [this](std::uint32_t keyCode, bool down) { sendKey(keyCode, down); });
  });
  return posted;
}

void KwinInputBackend::postUnicodeString(std::string_view text) {
  connection_->perform([this, text] {
    for (const std::uint32_t keysym : presser_->typableKeysyms(text)) {
      presser_->typeKeysym(keysym, [this](std::uint32_t keyCode, bool down) { sendKey(keyCode, down); });
    }
  });
}

void KwinInputBackend::sendKey(std::uint32_t xkbKeyCode, bool down) {
  org_kde_kwin_fake_input_keyboard_key(fakeInput_, xkbKeyCode - kEvdevOffset,
                                       down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
}

void KwinInputBackend::setClipboardText(std::string text) {
  if (!clipboard_) {
    logger_.error("Cannot set the clipboard: KWin has no clipboard control");
    return;
  }
  clipboard_->setText(std::move(text));
}

}  // namespace velmora
