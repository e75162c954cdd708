#include "platform/portal/portal_desktop.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <mutex>
#include <set>

#include "platform/desktop/display_identity.h"
#include "platform/desktop/input_display_geometry.h"
#include "platform/desktop/mac_key_map.h"
#include "platform/desktop/pointer_policy.h"
#include "platform/desktop/xkb_key_presser.h"
#include "platform/log/log.h"
#include "platform/pipewire/pipewire_capture_backend.h"

namespace velmora {
namespace {

// Used where the portal gives no size; the pictures come at the stream's own size all the same.
constexpr int kAssumedWidth = 1920;
constexpr int kAssumedHeight = 1080;
// XKB key codes are evdev's plus 8.
constexpr std::int32_t kXkbKeyCodeOffset = 8;

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

// Input through the session's Notify calls. Keys with a place on the keyboard go as the evdev key
// at that place of the XKB keymap from the environment (XKB_DEFAULT_LAYOUT ..., "us" otherwise),
// as on the other Wayland desktops; the others, and typed text, as keysyms.
class PortalInputBackend : public DisplaySourceInputBackend {
 public:
  PortalInputBackend(std::shared_ptr<PortalSession> session, std::shared_ptr<DisplaySource> displays)
      : DisplaySourceInputBackend(std::move(displays)), session_(std::move(session)) {
    // Without a keymap every key goes as its keysym.
    if (auto keymap = XkbKeyPresser::create()) {
      keymap_ = std::move(keymap.value());
    }
  }

  bool isProcessTrusted() const override { return session_->hasInput() && session_->active(); }


  void postPointerEvent(const PointerEvent& event) override {
    // Absolute motion is per stream: the display under the point, else the nearest one, in the
    // order of the session's streams, as the display source lists them.
    const auto nearest = geometry().nearestTo(event.location);
    if (!nearest) {
      return;
    }
    const Rect& frame = nearest->bounds;
    session_->pointerMotionAbsolute(session_->streams()[nearest->index].pipeWireNode,
                                    std::clamp(event.location.x - frame.x, 0.0, std::max(frame.width - 1, 0.0)),
                                    std::clamp(event.location.y - frame.y, 0.0, std::max(frame.height - 1, 0.0)));
    if (const auto down = isButtonDown(event.type)) {
      session_->pointerButton(evdevButton(event.button), *down);
    }
    notePointerSent(event.location);
  }

  void postScrollWheelEvent(const ScrollWheelEvent& event) override {
    const std::int32_t down = axisSteps(event.wheel1);
    const std::int32_t right = axisSteps(event.wheel2);
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
    const auto place = keymap_ ? keymap_->keyAtPlace(event.virtualKey) : std::nullopt;
    const X11Keysym keysym = keysymForMacKeyCode(event.virtualKey);
    if (!place && keysym == 0) {
      logger_.error("No key for keyCode={}", event.virtualKey);
      return false;
    }
    std::lock_guard lock(heldModifiersLock_);
    // Modifiers the flags name and nobody holds are pressed around this key only.
    std::vector<X11Keysym> added;
    for (const auto& modifier : kFlagModifiers) {
      if ((event.flags & modifier.flag) != 0 && !heldModifiers_.contains(modifier.left) &&
          !heldModifiers_.contains(modifier.right) && modifier.left != keysym && modifier.right != keysym) {
        added.push_back(modifier.left);
        session_->keyboardKeysym(static_cast<std::int32_t>(modifier.left), true);
      }
    }
    if (place) {
      session_->keyboardKeycode(static_cast<std::int32_t>(*place) - kXkbKeyCodeOffset, event.keyDown);
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
  std::unique_ptr<XkbKeyPresser> keymap_;  // for the keys' places only; none where it cannot be built
  std::mutex heldModifiersLock_;
  std::set<X11Keysym> heldModifiers_;  // the keysyms of modifier keys the client holds down
  std::once_flag clipboardRefusalLogged_;
};

}  // namespace

std::vector<ScreenDescription> portalScreens(const std::vector<PortalStream>& streams) {
  const auto origin = std::find_if(streams.begin(), streams.end(),
                                   [](const PortalStream& stream) { return stream.x == 0 && stream.y == 0; });
  const auto mainIndex = static_cast<std::size_t>(origin != streams.end() ? origin - streams.begin() : 0);
  // The layout as the portal gives it (y down), relative to the main stream.
  std::vector<Rect> layout;
  double nextX = 0;
  for (const auto& stream : streams) {
    const PortalStream& main = streams[mainIndex];
    const bool sized = stream.width > 0 && stream.height > 0;
    layout.push_back(sized ? Rect{static_cast<double>(stream.x - main.x), static_cast<double>(stream.y - main.y),
                                  static_cast<double>(stream.width), static_cast<double>(stream.height)}
                           : Rect{nextX, 0, kAssumedWidth, kAssumedHeight});
    nextX = std::max(nextX, layout.back().x + layout.back().width);
  }
  std::vector<ScreenDescription> screens;
  std::set<std::uint32_t> used;
  for (std::size_t index = 0; index < streams.size(); ++index) {
    const PortalStream& stream = streams[index];
    ScreenDescription screen;
    screen.frame = flippedAboutMainDisplay(layout[index], layout[mainIndex]);
    screen.displayID = displayIDForName(!stream.identifier.empty()
                                            ? "id " + stream.identifier
                                            : "at " + std::to_string(stream.x) + "," + std::to_string(stream.y));
    while (!used.insert(screen.displayID).second) {
      screen.displayID = screen.displayID == UINT32_MAX ? 1 : screen.displayID + 1;
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
