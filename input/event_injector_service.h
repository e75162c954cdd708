#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/geometry.h"
#include "platform/input_backend.h"
#include "platform/log/log.h"
#include "platform/log/log_throttle.h"
#include "protocol/control_message.h"

namespace velmora {

struct EventInjectorTiming {
  // The loss of the accessibility permission is reported upward at most this often.
  std::chrono::steady_clock::duration permissionLossNoticeInterval = std::chrono::seconds(5);
};

// Turns the client's input messages into synthetic pointer, scroll and keyboard events and
// clipboard texts. handle() runs on one thread at a time (the host's input queue); the target
// display may be set from any.
class EventInjectorService {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::uint16_t kMaximumKeyCode = 127;
  static constexpr std::size_t kTypedTextChunkCharacters = 32;
  static constexpr std::size_t kClipboardSyncByteLimit = 10'000'000;

  struct Dependencies {
    std::shared_ptr<InputBackend> backend;
    EventInjectorTiming timing;
    std::function<Clock::time_point()> monotonicNow = [] { return Clock::now(); };
    // Whether events are posted from a source of this process's own, as every Linux backend's
    // are; only logged.
    bool hasEventSource = true;
  };

  explicit EventInjectorService(Dependencies dependencies);

  EventInjectorService(const EventInjectorService&) = delete;
  EventInjectorService& operator=(const EventInjectorService&) = delete;

  void handle(const ControlMessage& message);

  // The display whose top-left corner is the origin of the client's absolute coordinates.
  std::optional<std::uint32_t> targetDisplayID() const;
  void setTargetDisplayID(std::optional<std::uint32_t> displayID);

  // Set once by the owner right after construction; called on the thread that runs handle().
  std::function<void()> onAccessibilityPermissionLost;

 private:
  bool passesPermissionGate();
  void act(const ControlMessage& message);

  std::optional<GlobalPoint> mappedAndClamped(double x, double y, std::string_view caseName) const;
  GlobalPoint currentPointerLocation() const;
  Rect relativeMoveBounds() const;

  void postPointer(PointerEventType type, GlobalPoint location, std::optional<std::uint64_t> flags = std::nullopt);
  void postButton(ControlMessage::MouseButton button, bool down, GlobalPoint location);
  void postDoubleClick(GlobalPoint location);
  void moveRelative(double deltaX, double deltaY, PointerEventType type, std::string_view caseName);
  void scroll(double deltaX, double deltaY);
  void postKey(std::uint16_t keyCode, ControlMessage::KeyModifiers modifiers, bool down);
  void typeText(const std::string& text);
  void syncClipboard(const std::string& content);

  const log::Logger logger_{"EventInjector"};
  const std::shared_ptr<InputBackend> backend_;
  const EventInjectorTiming timing_;
  const std::function<Clock::time_point()> monotonicNow_;
  const bool hasEventSource_;

  mutable std::mutex displayIDLock_;
  std::optional<std::uint32_t> displayID_;
  log::WindowThrottle permissionLossNotices_;
};

}  // namespace velmora
