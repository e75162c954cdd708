#include "platform/virtual/virtual_input_backend.h"

#include <algorithm>
#include <utility>

namespace velmora {
namespace {

constexpr std::size_t kRecordedEventLimit = 10'000;

}  // namespace

VirtualInputBackend::VirtualInputBackend(std::shared_ptr<const DisplaySource> displays)
    : DisplaySourceInputBackend(std::move(displays)) {}

bool VirtualInputBackend::isProcessTrusted() const { return trusted_; }

std::optional<GlobalPoint> VirtualInputBackend::pointerLocation() const {
  if (!pointerLocationReadable_) {
    return std::nullopt;
  }
  std::lock_guard lock(pointerLocationLock_);
  return pointerLocation_;
}

void VirtualInputBackend::postPointerEvent(const PointerEvent& event) {
  {
    std::lock_guard lock(pointerLocationLock_);
    pointerLocation_ = event.location;
  }
  record(event);
}

void VirtualInputBackend::postScrollWheelEvent(const ScrollWheelEvent& event) { record(event); }

bool VirtualInputBackend::postKeyboardEvent(const KeyboardEvent& event) {
  if (keyboardEventsFail_) {
    return false;
  }
  record(event);
  return true;
}

void VirtualInputBackend::postUnicodeString(std::string_view text) { record(TypedTextEvent{std::string(text)}); }

void VirtualInputBackend::setClipboardText(std::string text) {
  std::lock_guard lock(clipboardTextLock_);
  clipboardText_ = std::move(text);
}

std::vector<RecordedInputEvent> VirtualInputBackend::events() const {
  std::lock_guard lock(eventsLock_);
  return std::vector<RecordedInputEvent>(events_.begin(), events_.end());
}

void VirtualInputBackend::clearEvents() {
  std::lock_guard lock(eventsLock_);
  events_.clear();
}

std::optional<std::string> VirtualInputBackend::clipboardText() const {
  std::lock_guard lock(clipboardTextLock_);
  return clipboardText_;
}


void VirtualInputBackend::setTrusted(bool trusted) { trusted_ = trusted; }

void VirtualInputBackend::setPointerLocation(GlobalPoint location) {
  std::lock_guard lock(pointerLocationLock_);
  pointerLocation_ = location;
}

void VirtualInputBackend::setPointerLocationReadable(bool readable) { pointerLocationReadable_ = readable; }


void VirtualInputBackend::setKeyboardEventsFail(bool fail) { keyboardEventsFail_ = fail; }

void VirtualInputBackend::record(RecordedInputEvent event) {
  std::lock_guard lock(eventsLock_);
  if (events_.size() == kRecordedEventLimit) {
    events_.pop_front();
  }
  events_.push_back(std::move(event));
}

}  // namespace velmora
