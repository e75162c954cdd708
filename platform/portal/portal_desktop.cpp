#include "platform/portal/portal_desktop.h"

#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <set>

#include "platform/log/log.h"
#include "platform/pipewire/pipewire_capture_backend.h"
#include "platform/x11/x11_key_map.h"
#include "platform/xkb/evdev_button.h"

namespace velmora {
namespace {

// Used where the portal gives no size; the pictures come at the stream's own size all the same.
constexpr int kAssumedWidth = 1920;
constexpr int kAssumedHeight = 1080;
constexpr std::int32_t kMostScrollClicks = 1000;

std::uint32_t stableIdentifier(const std::string& text) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (const unsigned char character : text) {
    hash = (hash ^ character) * 16777619u;
  }
  return (hash & 0x7fffffffu) != 0 ? hash & 0x7fffffffu : 1;
}

class PortalDisplaySource : public DisplaySource {
 public:
  explicit PortalDisplaySource(std::vector<ScreenDescription> screens) : screens_(std::move(screens)) {}

  std::vector<ScreenDescription> screens() const override { return screens_; }
  // The one at the origin: frames are relative to the main display.
  std::uint32_t mainDisplayID() const override {
    for (const auto& screen : screens_) {
      if (screen.frame.x == 0 && screen.frame.y == 0) {
        return screen.displayID;
      }
    }
    return screens_.empty() ? 0 : screens_.front().displayID;
  }
  std::vector<std::uint32_t> activeDisplayIDs() const override {
    std::vector<std::uint32_t> identifiers;
    for (const auto& screen : screens_) {
      identifiers.push_back(screen.displayID);
    }
    return identifiers;
  }
  std::uint32_t mirroredDisplayID(std::uint32_t) const override { return 0; }

 private:
  const std::vector<ScreenDescription> screens_;
};

// Streams through PipeWire: each start of a stream opens a PipeWire remote of its own, since the
// descriptors of one remote share one connection that two PipeWire clients cannot share.
class PortalNodeSource : public PipeWireNodeSource {
 public:
  PortalNodeSource(std::shared_ptr<PortalSession> session, std::vector<ScreenDescription> screens)
      : session_(std::move(session)), screens_(std::move(screens)) {}

  bool sessionRunning() override { return session_->active(); }

  Result<CapturableDisplays> recordedDisplays() override {
    if (!session_->active()) {
      return Result<CapturableDisplays>::failure("the desktop portal's session has ended");
    }
    CapturableDisplays content;
    for (const auto& screen : screens_) {
      content.displayIDs.push_back(screen.displayID);
    }
    return content;
  }

  Result<PipeWireSource> nodeOf(std::uint32_t displayID, const std::string& what) override {
    std::uint32_t node = 0;
    for (std::size_t index = 0; index < screens_.size(); ++index) {
      if (screens_[index].displayID == displayID) {
        node = session_->streams()[index].pipeWireNode;
      }
    }
    if (node == 0) {
      return Result<PipeWireSource>::failure(what + " is not available");
    }
    auto remote = session_->openPipeWireRemote();
    if (!remote) {
      return Result<PipeWireSource>::failure(remote.error());
    }
    return PipeWireSource{remote.value().release(), node, what};
  }

 private:
  const std::shared_ptr<PortalSession> session_;
  const std::vector<ScreenDescription> screens_;  // in the order of the session's streams
};

// The modifier keysyms that stand for each flag, as keysymForMacKeyCode maps the modifier keys.
struct ModifierKeys {
  std::uint64_t flag;
  X11Keysym left;
  X11Keysym right;
};
constexpr ModifierKeys kModifierKeys[] = {
    {EventFlags::shift, 0xffe1, 0xffe2},      // Shift_L, Shift_R
    {EventFlags::command, 0xffe3, 0xffe4},    // Control_L, Control_R
    {EventFlags::alternate, 0xffe9, 0xffea},  // Alt_L, Alt_R
    {EventFlags::control, 0xffeb, 0xffec},    // Super_L, Super_R
};

// Input through the session's Notify calls. Keys with a place on the keyboard go as the evdev key
// at that place of the XKB keymap from the environment (XKB_DEFAULT_LAYOUT ..., "us" otherwise),
// as on the other Wayland desktops; the others, and typed text, as keysyms.
class PortalInputBackend : public InputBackend {
 public:
  PortalInputBackend(std::shared_ptr<PortalSession> session, std::shared_ptr<DisplaySource> displays)
      : session_(std::move(session)), displays_(std::move(displays)) {
    if (xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS)) {
      xkb_keymap* keymap = xkb_keymap_new_from_names(context, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
      for (std::uint16_t macKey = 0; macKey < 128 && keymap != nullptr; ++macKey) {
        const std::string place(xkbKeyNameForMacKeyCode(macKey));
        const xkb_keycode_t keyCode = place.empty() ? XKB_KEYCODE_INVALID : xkb_keymap_key_by_name(keymap, place.c_str());
        if (keyCode != XKB_KEYCODE_INVALID) {
          evdevKeyAtPlace_[macKey] = static_cast<std::int32_t>(keyCode) - 8;  // XKB codes are evdev's plus 8
        }
      }
      xkb_keymap_unref(keymap);
      xkb_context_unref(context);
    }
  }

  bool hasEventSource() const override { return true; }
  bool isProcessTrusted(bool) const override { return session_->hasInput() && session_->active(); }

  std::optional<GlobalPoint> pointerLocation() const override {
    std::lock_guard lock(lastPointerLocationLock_);
    return lastPointerLocation_;
  }
  Rect displayBounds(std::uint32_t displayID) const override {
    for (const auto& screen : displays_->screens()) {
      if (screen.displayID == displayID) {
        return screen.frame;
      }
    }
    return Rect{};
  }
  std::uint32_t mainDisplayID() const override { return displays_->mainDisplayID(); }
  std::vector<std::uint32_t> activeDisplayIDs() const override { return displays_->activeDisplayIDs(); }

  void postPointerEvent(const PointerEvent& event) override {
    if (!std::isfinite(event.location.x) || !std::isfinite(event.location.y)) {
      return;
    }
    // Absolute motion is per stream: the display under the point, else the nearest one.
    const auto screens = displays_->screens();
    std::size_t nearest = 0;
    double nearestDistance = INFINITY;
    for (std::size_t index = 0; index < screens.size(); ++index) {
      const Rect& frame = screens[index].frame;
      const double dx = std::max({frame.x - event.location.x, 0.0, event.location.x - (frame.x + frame.width - 1)});
      const double dy = std::max({frame.y - event.location.y, 0.0, event.location.y - (frame.y + frame.height - 1)});
      if (dx * dx + dy * dy < nearestDistance) {
        nearestDistance = dx * dx + dy * dy;
        nearest = index;
      }
    }
    if (screens.empty()) {
      return;
    }
    const Rect& frame = screens[nearest].frame;
    session_->pointerMotionAbsolute(session_->streams()[nearest].pipeWireNode,
                                    std::clamp(event.location.x - frame.x, 0.0, std::max(frame.width - 1, 0.0)),
                                    std::clamp(event.location.y - frame.y, 0.0, std::max(frame.height - 1, 0.0)));
    if (const auto down = isButtonDown(event.type)) {
      session_->pointerButton(evdevButton(event.button), *down);
    }
    std::lock_guard lock(lastPointerLocationLock_);
    lastPointerLocation_ = event.location;
  }

  void postScrollWheelEvent(const ScrollWheelEvent& event) override {
    // The portal's axes grow down and right; the client's wheels grow up and left.
    const std::int32_t down = -std::clamp(event.wheel1, -kMostScrollClicks, kMostScrollClicks);
    const std::int32_t right = -std::clamp(event.wheel2, -kMostScrollClicks, kMostScrollClicks);
    if (event.units == ScrollUnit::pixel) {
      session_->pointerAxis(right, down);
      return;
    }
    if (down != 0) {
      session_->pointerAxisDiscrete(0, down);
    }
    if (right != 0) {
      session_->pointerAxisDiscrete(1, right);
    }
  }

  bool postKeyboardEvent(const KeyboardEvent& event) override {
    const auto place = evdevKeyAtPlace_.find(event.virtualKey);
    const X11Keysym keysym = keysymForMacKeyCode(event.virtualKey);
    if (place == evdevKeyAtPlace_.end() && keysym == 0) {
      logger_.error("No key for keyCode={}", event.virtualKey);
      return false;
    }
    std::lock_guard lock(heldModifiersLock_);
    // Modifiers the flags name and nobody holds are pressed around this key only.
    std::vector<X11Keysym> added;
    for (const auto& modifier : kModifierKeys) {
      if ((event.flags & modifier.flag) != 0 && !heldModifiers_.contains(modifier.left) &&
          !heldModifiers_.contains(modifier.right) && modifier.left != keysym && modifier.right != keysym) {
        added.push_back(modifier.left);
        session_->keyboardKeysym(static_cast<std::int32_t>(modifier.left), true);
      }
    }
    if (place != evdevKeyAtPlace_.end()) {
      session_->keyboardKeycode(place->second, event.keyDown);
    } else {
      session_->keyboardKeysym(static_cast<std::int32_t>(keysym), event.keyDown);
      if (event.keyDown) {
        heldModifiers_.insert(keysym);
      } else {
        heldModifiers_.erase(keysym);
      }
    }
    for (auto modifier = added.rbegin(); modifier != added.rend(); ++modifier) {
      session_->keyboardKeysym(static_cast<std::int32_t>(*modifier), false);
    }
    return true;
  }

  void postUnicodeString(std::string_view text) override {
    for (const char32_t codePoint : codePointsOf(text)) {
      const auto keysyms = keysymsForCodePoint(codePoint);
      if (keysyms.empty()) {
        logger_.error("Cannot type U+{:04X}: no keysym stands for it", static_cast<std::uint32_t>(codePoint));
        continue;
      }
      session_->keyboardKeysym(static_cast<std::int32_t>(keysyms.front()), true);
      session_->keyboardKeysym(static_cast<std::int32_t>(keysyms.front()), false);
    }
  }

  // xdg-desktop-portal 1.16 has no clipboard interface; later ones tie it to sessions this host
  // does not request.
  void setClipboardText(std::string) override {
    std::call_once(clipboardRefusalLogged_, [this] {
      logger_.error("Cannot set the clipboard: the desktop portal session offers no clipboard");
    });
  }

 private:
  const log::Logger logger_{"EventInjector"};
  const std::shared_ptr<PortalSession> session_;
  const std::shared_ptr<DisplaySource> displays_;
  std::map<std::uint16_t, std::int32_t> evdevKeyAtPlace_;
  std::mutex heldModifiersLock_;
  std::set<X11Keysym> heldModifiers_;  // the keysyms of modifier keys the client holds down
  mutable std::mutex lastPointerLocationLock_;
  std::optional<GlobalPoint> lastPointerLocation_;
  std::once_flag clipboardRefusalLogged_;
};

}  // namespace

std::vector<ScreenDescription> portalScreens(const std::vector<PortalStream>& streams) {
  std::vector<ScreenDescription> screens;
  const auto origin = std::find_if(streams.begin(), streams.end(),
                                   [](const PortalStream& stream) { return stream.x == 0 && stream.y == 0; });
  const PortalStream* main = streams.empty() ? nullptr : origin != streams.end() ? &*origin : &streams.front();
  std::set<std::uint32_t> used;
  double nextX = 0;
  for (const auto& stream : streams) {
    const bool sized = stream.width > 0 && stream.height > 0;
    ScreenDescription screen;
    screen.frame = sized ? Rect{static_cast<double>(stream.x - main->x), static_cast<double>(stream.y - main->y),
                                static_cast<double>(stream.width), static_cast<double>(stream.height)}
                         : Rect{nextX, 0, kAssumedWidth, kAssumedHeight};
    nextX = std::max(nextX, screen.frame.x + screen.frame.width);
    screen.displayID = stableIdentifier(!stream.identifier.empty()
                                            ? "id " + stream.identifier
                                            : "at " + std::to_string(stream.x) + "," + std::to_string(stream.y));
    while (!used.insert(screen.displayID).second) {
      screen.displayID = screen.displayID % 0x7fffffffu + 1;
    }
    screen.name = "Monitor " + std::to_string(screens.size() + 1);
    screens.push_back(screen);
  }
  return screens;
}

Result<PortalDesktop> openPortalDesktop(UserDefaults& defaults, PortalSessionOptions options) {
  if (const auto token = defaults.stringArray(kPortalRestoreTokenKey); token && token->size() == 1) {
    options.restoreToken = token->front();
  }
  auto session = PortalSession::open(options);
  if (!session) {
    return Result<PortalDesktop>::failure(session.error());
  }
  // A token is good for one restore: the next start needs the new one.
  const std::string& token = session.value()->restoreToken();
  if (!token.empty() && token != options.restoreToken) {
    defaults.setStringArray(kPortalRestoreTokenKey, {token});
  }
  auto screens = portalScreens(session.value()->streams());
  auto displays = std::make_shared<PortalDisplaySource>(screens);
  auto capture =
      std::make_shared<PipeWireCaptureBackend>("portal", std::make_shared<PortalNodeSource>(session.value(), screens));
  return PortalDesktop{displays, std::move(capture), std::make_shared<PortalInputBackend>(session.value(), displays)};
}

}  // namespace velmora
