#include "platform/gnome/mutter_input_backend.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "platform/desktop/mac_key_map.h"
#include "platform/desktop/pointer_policy.h"

namespace velmora {
namespace {

constexpr const char* kService = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kSessionInterface = "org.gnome.Mutter.RemoteDesktop.Session";
// XKB key codes are evdev codes plus 8.
constexpr std::uint32_t kEvdevOffset = 8;
// NotifyPointerAxis flags: the deltas come from a continuous source (a touchpad's or a client's pixels).
constexpr std::uint32_t kAxisSourceContinuous = 1u << 3;
// A little over two frames at 60 Hz.
constexpr auto kPointerFocusDelay = std::chrono::milliseconds(40);

const log::Logger& notifyLogger() {
  static const log::Logger logger("EventInjector");
  return logger;
}

// Mutter answers each call; only a failure is of interest, logged as throttled as it could repeat
// with every event.
int onNotifyReply(sd_bus_message* reply, void*, sd_bus_error*) {
  static std::atomic<std::uint64_t> failures{0};
  if (const sd_bus_error* error = sd_bus_message_get_error(reply); error != nullptr) {
    if (log::isLoggedOccurrence(++failures)) {
      notifyLogger().error("Mutter refused an input event: {}",
                           error->message != nullptr ? error->message : error->name);
    }
  }
  return 0;
}

template <typename... Arguments>
void notify(sd_bus* bus, const std::string& path, const char* member, const char* types, Arguments... arguments) {
  sd_bus_call_method_async(bus, nullptr, kService, path.c_str(), kSessionInterface, member, onNotifyReply, nullptr,
                           types, arguments...);
}

}  // namespace

Result<std::shared_ptr<InputBackend>> makeMutterInputBackend(std::shared_ptr<MutterRemoteDesktop> session,
                                                             std::shared_ptr<const DisplaySource> displays) {
  using Failure = Result<std::shared_ptr<InputBackend>>;
  if (!session || !session->running()) {
    return Failure::failure("the GNOME remote desktop session is not running");
  }
  auto presser = XkbKeyPresser::create();
  if (!presser) {
    return Failure::failure(presser.error());
  }
  auto backend = std::make_shared<MutterInputBackend>(MutterInputBackend::PrivateTag{}, std::move(session),
                                                      std::move(displays), std::move(presser.value()));
  // Primes the keyboard before the first event comes.
  backend->sessionPath();
  return std::shared_ptr<InputBackend>(std::move(backend));
}

MutterInputBackend::MutterInputBackend(PrivateTag, std::shared_ptr<MutterRemoteDesktop> session,
                                       std::shared_ptr<const DisplaySource> displays, std::unique_ptr<XkbKeyPresser> presser)
    : DisplaySourceInputBackend(std::move(displays)),
      session_(std::move(session)),
      presser_(std::move(presser)),
      clipboard_(session_) {}

MutterInputBackend::~MutterInputBackend() {
  std::vector<std::pair<std::uint32_t, bool>> released;
  presser_->releaseHeldKeys([&](std::uint32_t keyCode, bool down) { released.emplace_back(keyCode, down); });
  sendKeys(released);
  const std::string path = session_->remoteDesktopSessionPath();
  session_->bus().perform([&](sd_bus* bus) {
    for (const std::uint32_t button : heldButtons_.releaseAll()) {
      notify(bus, path, "NotifyPointerButton", "ib", static_cast<std::int32_t>(button), 0);
    }
    sd_bus_flush(bus);
  });
}

std::string MutterInputBackend::sessionPath() const {
  const std::string path = session_->remoteDesktopSessionPath();
  std::lock_guard lock(sessionPathLock_);
  if (path == sessionPath_) {
    return sessionPath_;
  }
  sessionPath_ = path;
  if (path.empty()) {
    return sessionPath_;
  }
  session_->bus().perform([&](sd_bus* bus) {
    // A new session's virtual keyboard drops the first key it gets: a Shift tap, which types
    // nothing, takes that place.
    notify(bus, path, "NotifyKeyboardKeycode", "ub", static_cast<std::uint32_t>(KEY_LEFTSHIFT), 1);
    notify(bus, path, "NotifyKeyboardKeycode", "ub", static_cast<std::uint32_t>(KEY_LEFTSHIFT), 0);
  });
  return sessionPath_;
}

bool MutterInputBackend::isProcessTrusted() const {
  return session_->running() && !session_->remoteDesktopSessionPath().empty();
}

void MutterInputBackend::postPointerEvent(const PointerEvent& event) {
  const std::string path = sessionPath();
  const GlobalPoint point = event.location;
  const auto target = geometry().nearestTo(point);
  if (!target) {
    return;
  }
  const std::uint32_t targetID = target->displayID;
  const Rect bounds = target->bounds;
  const auto streams = session_->streams();
  const auto stream = std::find_if(streams.begin(), streams.end(),
                                   [targetID](const auto& candidate) { return candidate.displayID == targetID; });
  if (stream == streams.end() || bounds.width <= 0 || bounds.height <= 0) {
    logger_.debug("No stream for display {}: the pointer event is dropped", targetID);
    return;
  }
  // Stream positions are the stream's pixels, whatever the monitor's scale and layout mode.
  const double x = std::clamp((point.x - bounds.x) / bounds.width * stream->width, 0.0, stream->width - 1.0);
  const double y = std::clamp((point.y - bounds.y) / bounds.height * stream->height, 0.0, stream->height - 1.0);
  const auto down = isButtonDown(event.type);
  const std::int32_t button = evdevButton(event.button);
  session_->bus().perform([&](sd_bus* bus) {
    // A drag is a motion while the button the client pressed earlier is still down.
    notify(bus, path, "NotifyPointerMotionAbsolute", "sdd", stream->streamPath.c_str(), x, y);
  });
  if (down && pointerLocation() != point) {
    // Mutter hands the pointer focus to the window under a new place only at its next frame: a
    // button sent with the motion would go to the window the pointer left (a tap with no hover).
    std::this_thread::sleep_for(kPointerFocusDelay);
  }
  if (down) {
    session_->bus().perform(
        [&](sd_bus* bus) { notify(bus, path, "NotifyPointerButton", "ib", button, static_cast<int>(*down)); });
  }
  notePointerSent(point);
  if (down) {
    heldButtons_.note(static_cast<std::uint32_t>(button), *down);
  }
}

void MutterInputBackend::postScrollWheelEvent(const ScrollWheelEvent& event) {
  const std::string path = sessionPath();
  const std::int32_t down = axisSteps(event.wheel1);
  const std::int32_t right = axisSteps(event.wheel2);
  session_->bus().perform([&](sd_bus* bus) {
    if (event.units == ScrollUnit::pixel) {
      if (down != 0 || right != 0) {
        notify(bus, path, "NotifyPointerAxis", "ddu", static_cast<double>(right), static_cast<double>(down),
               kAxisSourceContinuous);
      }
      return;
    }
    for (const auto& [axis, steps] : {std::pair<std::uint32_t, std::int32_t>{0, down}, {1, right}}) {
      for (std::int32_t click = 0; click < std::abs(steps); ++click) {
        notify(bus, path, "NotifyPointerAxisDiscrete", "ui", axis, steps > 0 ? 1 : -1);
      }
    }
  });
}

bool MutterInputBackend::postKeyboardEvent(const KeyboardEvent& event) {
  std::vector<std::pair<std::uint32_t, bool>> keys;
  const bool posted = presser_->postKey(event.virtualKey, event.keyDown, event.flags,
                                        [&](std::uint32_t keyCode, bool down) { keys.emplace_back(keyCode, down); });
  sendKeys(keys);
  return posted;
}

void MutterInputBackend::sendKeys(const std::vector<std::pair<std::uint32_t, bool>>& xkbKeys) {
  if (xkbKeys.empty()) {
    return;
  }
  const std::string path = sessionPath();
  session_->bus().perform([&](sd_bus* bus) {
    for (const auto& [keyCode, down] : xkbKeys) {
      notify(bus, path, "NotifyKeyboardKeycode", "ub", keyCode - kEvdevOffset, static_cast<int>(down));
    }
  });
}

void MutterInputBackend::postUnicodeString(std::string_view text) {
  const auto keysyms = presser_->typableKeysyms(text);
  const std::string path = sessionPath();
  session_->bus().perform([&](sd_bus* bus) {
    for (const std::uint32_t keysym : keysyms) {
      notify(bus, path, "NotifyKeyboardKeysym", "ub", keysym, 1);
      notify(bus, path, "NotifyKeyboardKeysym", "ub", keysym, 0);
    }
  });
}

void MutterInputBackend::setClipboardText(std::string text) { clipboard_.setText(std::move(text)); }

}  // namespace velmora
