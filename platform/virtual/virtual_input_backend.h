#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/desktop/input_display_geometry.h"
#include "platform/display_source.h"
#include "platform/input_backend.h"

namespace velmora {

struct TypedTextEvent {
  std::string text;

  bool operator==(const TypedTextEvent&) const = default;
};

using RecordedInputEvent = std::variant<PointerEvent, ScrollWheelEvent, KeyboardEvent, TypedTextEvent>;

// Input for displays that exist only in this process: a pointer that follows the posted pointer
// events, a list of the events posted (the latest 10,000, so a long-running virtual host stays
// small), and an in-memory clipboard. Display geometry comes from
// the display source, turned from its y-up frames into global coordinates. Any thread.
class VirtualInputBackend : public DisplaySourceInputBackend {
 public:
  explicit VirtualInputBackend(std::shared_ptr<const DisplaySource> displays);

  bool isProcessTrusted() const override;
  std::optional<GlobalPoint> pointerLocation() const override;
  void postPointerEvent(const PointerEvent& event) override;
  void postScrollWheelEvent(const ScrollWheelEvent& event) override;
  bool postKeyboardEvent(const KeyboardEvent& event) override;
  void postUnicodeString(std::string_view text) override;
  void setClipboardText(std::string text) override;

  std::vector<RecordedInputEvent> events() const;
  void clearEvents();
  std::optional<std::string> clipboardText() const;

  // Conditions a test or the virtual host may set.
  void setTrusted(bool trusted);
  void setPointerLocation(GlobalPoint location);
  void setPointerLocationReadable(bool readable);
  void setKeyboardEventsFail(bool fail);

 private:
  void record(RecordedInputEvent event);


  mutable std::mutex eventsLock_;
  std::deque<RecordedInputEvent> events_;
  mutable std::mutex pointerLocationLock_;
  GlobalPoint pointerLocation_;
  mutable std::mutex clipboardTextLock_;
  std::optional<std::string> clipboardText_;
  std::atomic<bool> trusted_ = true;
  std::atomic<bool> pointerLocationReadable_ = true;
  std::atomic<bool> keyboardEventsFail_ = false;
};

}  // namespace velmora
