#include "input/event_injector_service.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/virtual/virtual_display_source.h"
#include "platform/virtual/virtual_input_backend.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using M = ControlMessage;
using Mods = ControlMessage::KeyModifiers;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Main display 1920x1080; display 2, 1280x800, to its right along the bottom edge, so its
// global bounds are (1920, 280, 1280, 800).
class EventInjectorServiceTest : public ::testing::Test {
 protected:
  std::shared_ptr<VirtualDisplaySource> displays =
      std::make_shared<VirtualDisplaySource>(VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}});
  std::shared_ptr<VirtualInputBackend> backend = std::make_shared<VirtualInputBackend>(displays);
  log::MemoryLogSink logSink;
  EventInjectorService::Clock::time_point now{};
  int permissionLossNotices = 0;
  std::unique_ptr<EventInjectorService> injector = std::make_unique<EventInjectorService>(
      EventInjectorService::Dependencies{backend, EventInjectorTiming{}, [this] { return now; }});

  void SetUp() override { injector->onAccessibilityPermissionLost = [this] { ++permissionLossNotices; }; }

  template <class Event>
  std::vector<Event> eventsOf() const {
    std::vector<Event> found;
    for (const auto& event : backend->events()) {
      if (const auto* typed = std::get_if<Event>(&event)) {
        found.push_back(*typed);
      }
    }
    return found;
  }
};

TEST_F(EventInjectorServiceTest, AbsolutePointsAreMappedToTheTargetDisplayAndClamped) {
  const std::pair<std::optional<std::uint32_t>, GlobalPoint> moves[] = {
      {2, {10, 20}}, {2, {-kInfinity, kInfinity}},
      {std::nullopt, {2500, 1500}},  // global, clamped to the main display
      {9, {50, 50}},                 // a display that is gone has empty bounds: its origin
  };
  for (const auto& [target, at] : moves) {
    injector->setTargetDisplayID(target);
    injector->handle(M::MouseMove{at.x, at.y});
  }
  std::vector<PointerEvent> expected;
  for (const GlobalPoint at : std::vector<GlobalPoint>{{1930, 300}, {1920, 1079}, {1919, 1079}, {0, 0}}) {
    expected.push_back({PointerEventType::mouseMoved, at, PointerButton::left, {}, {}, {}, {}});
  }
  EXPECT_EQ(eventsOf<PointerEvent>(), expected);
}

TEST_F(EventInjectorServiceTest, ButtonsUseTheirEventTypesAndNumbersAndAtCurrentIsNotClamped) {
  injector->setTargetDisplayID(2);
  injector->handle(M::MouseDown{10, 20, M::MouseButton::right});
  injector->handle(M::MouseUp{9000, 20, M::MouseButton::right});
  backend->setPointerLocation({-40, 5000});  // outside every display
  injector->handle(M::MouseDownAtCurrent{M::MouseButton::middle});
  injector->handle(M::MouseUpAtCurrent{M::MouseButton::left});

  using Type = PointerEventType;
  EXPECT_EQ(eventsOf<PointerEvent>(), (std::vector<PointerEvent>{
                                          {Type::rightMouseDown, {1930, 300}, PointerButton::right, 0, {}, {}, {}},
                                          {Type::rightMouseUp, {3199, 300}, PointerButton::right, 0, {}, {}, {}},
                                          {Type::otherMouseDown, {-40, 5000}, PointerButton::center, 0, {}, {}, {}},
                                          {Type::leftMouseUp, {-40, 5000}, PointerButton::left, 0, {}, {}, {}},
                                      }));
}

TEST_F(EventInjectorServiceTest, DoubleClicksPostTwoClickPairsWithStatesOneThenTwo) {
  injector->setTargetDisplayID(2);
  injector->handle(M::DoubleClick{10, 20});
  backend->setPointerLocationReadable(false);  // the location reads as (0, 0)
  injector->handle(M::DoubleClickAtCurrent{});

  std::vector<PointerEvent> expected;
  for (const GlobalPoint at : {GlobalPoint{1930, 300}, GlobalPoint{0, 0}}) {
    for (const std::int64_t state : {1, 2}) {
      expected.push_back({PointerEventType::leftMouseDown, at, PointerButton::left, {}, state, {}, {}});
      expected.push_back({PointerEventType::leftMouseUp, at, PointerButton::left, {}, state, {}, {}});
    }
  }
  EXPECT_EQ(eventsOf<PointerEvent>(), expected);
}

TEST_F(EventInjectorServiceTest, RelativeMovesClampToAllDisplaysAndCarryRoundedDeltas) {
  // The union of both displays is (0, 0, 3200, 1080); the target display plays no part.
  injector->setTargetDisplayID(1);
  backend->setPointerLocation({100, 100});
  injector->handle(M::MouseMoveRelative{0.5, -0.5});
  backend->setPointerLocation({10, 10});
  injector->handle(M::MouseDragRelative{-1e18, -1e18});

  constexpr std::int64_t kFar = -1'000'000'000'000'000'000;
  using Type = PointerEventType;
  EXPECT_EQ(eventsOf<PointerEvent>(), (std::vector<PointerEvent>{
                                          {Type::mouseMoved, {100.5, 99.5}, PointerButton::left, {}, {}, 1, -1},
                                          {Type::leftMouseDragged, {0, 0}, PointerButton::left, {}, {}, kFar, kFar},
                                      }));
}

TEST_F(EventInjectorServiceTest, ValuesThatDoNotFitAreRefusedWithALogLine) {
  const std::vector<ControlMessage> refused = {M::MouseMoveRelative{kNaN, 0}, M::MouseDragRelative{0, -9.3e18},
                                               M::MouseMove{kNaN, 1},         M::DoubleClick{1, kNaN},
                                               M::Scroll{-kInfinity, 1},      M::KeyDown{128, Mods::shift}};
  for (const ControlMessage& message : refused) {
    injector->handle(message);
  }
  EXPECT_TRUE(backend->events().empty());
  EXPECT_EQ(logSink.countContaining("Ignoring"), refused.size());
}

TEST_F(EventInjectorServiceTest, ScrollDropsFractionsAndLimitsToAHundredLinesAndKeysCarryModifierFlags) {
  injector->handle(M::Scroll{3.9, -250});
  injector->handle(M::Scroll{2147483647.9, -2147483648.5});
  EXPECT_EQ(eventsOf<ScrollWheelEvent>(),
            (std::vector<ScrollWheelEvent>{{ScrollUnit::line, -100, 3, 0}, {ScrollUnit::line, -100, 100, 0}}));

  // Keys carry the modifier flags.
  injector->handle(M::KeyDown{12, Mods::shift | Mods::command});
  injector->handle(M::KeyUp{127, Mods::control | Mods::option});
  injector->handle(M::KeyDown{1, Mods(0xFFFFFFE1)});  // bits without a name are ignored
  EXPECT_EQ(eventsOf<KeyboardEvent>(),
            (std::vector<KeyboardEvent>{{12, true, 0x120000}, {127, false, 0xC0000}, {1, true, 0x20000}}));
}

TEST_F(EventInjectorServiceTest, TypedTextGoesOutInChunksOf32Characters) {
  injector->handle(M::KeyTyped{""});
  injector->handle(M::KeyTyped{std::string(70, 'q')});
  const TypedTextEvent full{std::string(32, 'q')};
  EXPECT_EQ(backend->events(), (std::vector<RecordedInputEvent>{full, full, TypedTextEvent{"qqqqqq"}}));
}

TEST_F(EventInjectorServiceTest, ClipboardTakesTextsUpToTenMillionBytes) {
  const std::string atLimit(EventInjectorService::kClipboardSyncByteLimit, 'x');
  injector->handle(M::ClipboardSync{atLimit});
  EXPECT_EQ(backend->clipboardText(), atLimit);

  injector->handle(M::ClipboardSync{atLimit + "y"});
  // Repair grows each bad byte to three, which pushes this one past the limit.
  injector->handle(M::ClipboardSync{atLimit.substr(1) + "\x80"});
  EXPECT_EQ(logSink.countContaining("Clipboard sync rejected"), 2u);
  EXPECT_EQ(backend->clipboardText(), atLimit);

  injector->handle(M::ClipboardSync{"caf\xC3"});
  EXPECT_EQ(backend->clipboardText(), "caf\xEF\xBF\xBD");
}

TEST_F(EventInjectorServiceTest, WithoutPermissionEveryMessageIsDroppedAndNoticesComeFiveSecondsApart) {
  backend->setTrusted(false);
  for (const auto& [at, noticesAfter] : {std::pair{0ms, 1}, {4999ms, 1}, {5000ms, 2}, {10000ms, 3}}) {
    now = EventInjectorService::Clock::time_point{} + at;
    injector->handle(M::MouseMove{1, 1});
    injector->handle(M::ClipboardSync{"secret"});
    EXPECT_EQ(permissionLossNotices, noticesAfter) << at.count() << " ms";
  }
  EXPECT_TRUE(backend->events().empty());
  EXPECT_FALSE(backend->clipboardText().has_value());

  backend->setTrusted(true);
  injector->handle(M::KeyTyped{"x"});
  EXPECT_EQ(backend->events().size(), 1u);
}

}  // namespace
}  // namespace velmora
