// EventInjectorService against arbitrary messages and the virtual backend: the pointer must never
// leave the displays, and every text typed or put on the clipboard must be valid UTF-8.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "input/event_injector_service.h"
#include "input/typed_text.h"
#include "platform/virtual/virtual_display_source.h"
#include "platform/virtual/virtual_input_backend.h"

namespace {

using velmora::ControlMessage;

ControlMessage nextMessage(FuzzedDataProvider& data) {
  const auto x = data.ConsumeFloatingPoint<double>();
  const auto y = data.ConsumeFloatingPoint<double>();
  const auto button = [&data] { return static_cast<ControlMessage::MouseButton>(data.ConsumeIntegralInRange(0, 2)); };
  switch (data.ConsumeIntegralInRange(0, 14)) {
    case 0: return ControlMessage::MouseMove{x, y};
    case 1: return ControlMessage::MouseDown{x, y, button()};
    case 2: return ControlMessage::MouseUp{x, y, button()};
    case 3: return ControlMessage::MouseDrag{x, y};
    case 4: return ControlMessage::MouseMoveRelative{x, y};
    case 5: return ControlMessage::MouseDragRelative{x, y};
    case 6: return ControlMessage::MouseDownAtCurrent{button()};
    case 7: return ControlMessage::DoubleClickAtCurrent{};
    case 8: return ControlMessage::Scroll{x, y};
    case 9: return ControlMessage::KeyDown{data.ConsumeIntegral<std::uint16_t>(),
                                           ControlMessage::KeyModifiers(data.ConsumeIntegral<std::uint32_t>())};
    case 10: return ControlMessage::KeyUp{data.ConsumeIntegral<std::uint16_t>(), ControlMessage::KeyModifiers()};
    case 11: return ControlMessage::KeyTyped{data.ConsumeRandomLengthString(512)};
    case 12: return ControlMessage::ClipboardSync{data.ConsumeRandomLengthString(512)};
    case 13: return ControlMessage::DoubleClick{x, y};
    default: return ControlMessage::SwitchDisplay{data.ConsumeIntegral<std::uint32_t>()};
  }
}

// The union of the three displays below, in global coordinates (also false for NaN).
bool insideDisplays(const velmora::GlobalPoint& at) { return at.x >= 0 && at.x < 4200 && at.y >= -360 && at.y < 1080; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  auto displays = std::make_shared<velmora::VirtualDisplaySource>(
      velmora::VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}, {1000, 1440, 1}});
  auto backend = std::make_shared<velmora::VirtualInputBackend>(displays);
  velmora::EventInjectorService injector({backend, {}, [] { return velmora::EventInjectorService::Clock::now(); }});
  while (data.remaining_bytes() > 0) {
    if (const auto target = data.ConsumeIntegralInRange<std::uint32_t>(0, 5); target < 5) {
      injector.setTargetDisplayID(target == 0 ? std::nullopt : std::optional<std::uint32_t>(target));
    }
    injector.handle(nextMessage(data));
  }
  for (const auto& event : backend->events()) {
    const auto* pointer = std::get_if<velmora::PointerEvent>(&event);
    const auto* typed = std::get_if<velmora::TypedTextEvent>(&event);
    if ((pointer && !insideDisplays(pointer->location)) ||
        (typed && (typed->text.empty() || velmora::TypedText::repairedUtf8(typed->text)))) {
      std::abort();
    }
  }
  if (backend->clipboardText() && velmora::TypedText::repairedUtf8(*backend->clipboardText())) {
    std::abort();
  }
  return 0;
}
