#include "platform/wayland/wayland_input_backend.h"

#include <wayland-client.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "platform/wayland/protocols/virtual-keyboard-unstable-v1-client.h"
#include "platform/wayland/protocols/wlr-virtual-pointer-unstable-v1-client.h"
#include "platform/desktop/pointer_policy.h"
#include "platform/wayland/wayland_display_source.h"

namespace velmora {
namespace {

// Absolute positions go out in sixteenths of a point, so that fractional points survive.
constexpr double kStepsPerPoint = 16;
// What one wheel click scrolls, in the units of wl_pointer.axis, as libinput reports a click.
constexpr double kAxisPerLine = 15;

std::uint32_t millisecondsNow() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}



}  // namespace

Result<std::shared_ptr<InputBackend>> makeWaylandInputBackend(const std::string& socketName) {
  auto connection = WaylandSharedConnection::open(socketName);
  if (!connection) {
    return Result<std::shared_ptr<InputBackend>>::failure(connection.error());
  }
  auto backend = makeWaylandInputBackend(connection.value(), WaylandDisplaySource::create(connection.value()));
  connection.value()->start();
  return backend;
}

Result<std::shared_ptr<InputBackend>> makeWaylandInputBackend(std::shared_ptr<WaylandSharedConnection> connection,
                                                              std::shared_ptr<const DisplaySource> displays) {
  using Failure = Result<std::shared_ptr<InputBackend>>;
  WaylandInputBackend::Parts parts;
  parts.connection = std::move(connection);
  parts.displays = std::move(displays);
  WaylandConnection& wayland = parts.connection->connection();
  parts.pointerManager = wayland.bind<zwlr_virtual_pointer_manager_v1>(zwlr_virtual_pointer_manager_v1_interface, 1);
  parts.keyboardManager = wayland.bind<zwp_virtual_keyboard_manager_v1>(zwp_virtual_keyboard_manager_v1_interface, 1);
  parts.seat = wayland.bind<wl_seat>(wl_seat_interface, 1);
  std::vector<std::string> missing;
  if (parts.pointerManager == nullptr) {
    missing.emplace_back("zwlr_virtual_pointer_manager_v1");
  }
  if (parts.keyboardManager == nullptr) {
    missing.emplace_back("zwp_virtual_keyboard_manager_v1");
  }
  if (parts.seat == nullptr) {
    missing.emplace_back("wl_seat");
  }
  if (!missing.empty()) {
    std::string names;
    for (const auto& name : missing) {
      names += (names.empty() ? "" : ", ") + name;
    }
    // Every proxy goes before its connection.
    if (parts.pointerManager != nullptr) {
      zwlr_virtual_pointer_manager_v1_destroy(parts.pointerManager);
    }
    if (parts.keyboardManager != nullptr) {
      zwp_virtual_keyboard_manager_v1_destroy(parts.keyboardManager);
    }
    if (parts.seat != nullptr) {
      wl_seat_destroy(parts.seat);
    }
    return Failure::failure("the Wayland compositor takes no input from this process: it lacks " + names);
  }
  auto clipboard = WaylandClipboard::open(parts.connection);
  if (clipboard) {
    parts.clipboard = std::move(clipboard.value());
  } else {
    log::Logger("EventInjector").error("No clipboard: {}", clipboard.error());
  }
  auto backend = std::make_shared<WaylandInputBackend>(WaylandInputBackend::PrivateTag{}, std::move(parts));
  auto keyboard = WaylandKeyboard::create(backend->parts_.keyboardManager, backend->parts_.seat);
  if (!keyboard) {
    return Failure::failure(keyboard.error());
  }
  backend->keyboard_ = std::move(keyboard.value());
  // The compositor sets a new virtual keyboard up when it reads the request: the round trip makes
  // sure it has, so that the first key of a session is not lost.
  if (!wayland.roundtrip()) {
    return Failure::failure("the Wayland compositor closed the connection: " +
                            wayland.lostReason().value_or("unknown reason"));
  }
  return std::shared_ptr<InputBackend>(std::move(backend));
}

WaylandInputBackend::WaylandInputBackend(PrivateTag, Parts parts)
    : DisplaySourceInputBackend(parts.displays), parts_(std::move(parts)) {
  pointer_ = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(parts_.pointerManager, parts_.seat);
}

WaylandInputBackend::~WaylandInputBackend() {
  parts_.connection->performOrRunHere([this] {
    for (const std::uint32_t button : heldButtons_.releaseAll()) {
      zwlr_virtual_pointer_v1_button(pointer_, millisecondsNow(), button, WL_POINTER_BUTTON_STATE_RELEASED);
    }
    zwlr_virtual_pointer_v1_frame(pointer_);
    // The keyboard releases its held keys as it goes.
    keyboard_.reset();
    zwlr_virtual_pointer_v1_destroy(pointer_);
    zwlr_virtual_pointer_manager_v1_destroy(parts_.pointerManager);
    zwp_virtual_keyboard_manager_v1_destroy(parts_.keyboardManager);
    wl_seat_destroy(parts_.seat);
    wl_display_flush(parts_.connection->connection().display());
  });
}

bool WaylandInputBackend::isProcessTrusted() const { return parts_.connection->connected(); }

void WaylandInputBackend::postPointerEvent(const PointerEvent& event) {
  const auto layout = geometry().allBounds();
  const bool sent = parts_.connection->perform([this, &event, &layout] {
    // A drag is a motion while the button the client pressed earlier is still down.
    moveTo(event.location, layout);
    if (const auto down = isButtonDown(event.type)) {
      sendButton(evdevButton(event.button), *down);
    }
  });
  if (sent) {
    notePointerSent(event.location);
  }
}

void WaylandInputBackend::moveTo(GlobalPoint point, const std::vector<std::pair<std::uint32_t, Rect>>& layout) {
  if (layout.empty() || !std::isfinite(point.x) || !std::isfinite(point.y)) {
    return;
  }
  // The compositor spreads an absolute position over the bounding box of every output.
  double left = 0;
  double top = 0;
  double right = 0;
  double bottom = 0;
  for (const auto& [displayID, bounds] : layout) {
    left = std::min(left, bounds.x);
    top = std::min(top, bounds.y);
    right = std::max(right, bounds.x + bounds.width);
    bottom = std::max(bottom, bounds.y + bounds.height);
  }
  const double width = std::max(std::round(right - left), 1.0) * kStepsPerPoint;
  const double height = std::max(std::round(bottom - top), 1.0) * kStepsPerPoint;
  const double x = std::clamp((point.x - left) * kStepsPerPoint, 0.0, width);
  const double y = std::clamp((point.y - top) * kStepsPerPoint, 0.0, height);
  zwlr_virtual_pointer_v1_motion_absolute(pointer_, millisecondsNow(), static_cast<std::uint32_t>(std::lround(x)),
                                          static_cast<std::uint32_t>(std::lround(y)), static_cast<std::uint32_t>(width),
                                          static_cast<std::uint32_t>(height));
  zwlr_virtual_pointer_v1_frame(pointer_);
}

void WaylandInputBackend::sendButton(std::uint32_t button, bool down) {
  zwlr_virtual_pointer_v1_button(pointer_, millisecondsNow(), button,
                                 down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(pointer_);
  heldButtons_.note(button, down);
}

void WaylandInputBackend::postScrollWheelEvent(const ScrollWheelEvent& event) {
  parts_.connection->perform([this, &event] {
    const auto scroll = [this, &event](std::uint32_t axis, std::int32_t wheel) {
      const std::int32_t steps = axisSteps(wheel);
      if (steps == 0) {
        return;
      }
      if (event.units == ScrollUnit::line) {
        zwlr_virtual_pointer_v1_axis_discrete(pointer_, millisecondsNow(), axis,
                                              wl_fixed_from_double(steps * kAxisPerLine), steps);
      } else {
        zwlr_virtual_pointer_v1_axis(pointer_, millisecondsNow(), axis, wl_fixed_from_int(steps));
      }
    };
    zwlr_virtual_pointer_v1_axis_source(
        pointer_, event.units == ScrollUnit::line ? WL_POINTER_AXIS_SOURCE_WHEEL : WL_POINTER_AXIS_SOURCE_CONTINUOUS);
    scroll(WL_POINTER_AXIS_VERTICAL_SCROLL, event.wheel1);
    scroll(WL_POINTER_AXIS_HORIZONTAL_SCROLL, event.wheel2);
    zwlr_virtual_pointer_v1_frame(pointer_);
  });
}

bool WaylandInputBackend::postKeyboardEvent(const KeyboardEvent& event) {
  bool posted = false;
  parts_.connection->perform(
      [this, &event, &posted] { posted = keyboard_->postKey(event.virtualKey, event.keyDown, event.flags); });
  return posted;
}

void WaylandInputBackend::postUnicodeString(std::string_view text) {
  parts_.connection->perform([this, text] { keyboard_->typeText(text); });
}

void WaylandInputBackend::setClipboardText(std::string text) {
  if (!parts_.clipboard) {
    logger_.error("Cannot set the clipboard: the Wayland compositor has no clipboard control");
    return;
  }
  parts_.clipboard->setText(std::move(text));
}

}  // namespace velmora
