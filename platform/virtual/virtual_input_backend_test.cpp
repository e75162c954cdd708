#include "platform/virtual/virtual_input_backend.h"

#include <gtest/gtest.h>

#include "platform/virtual/virtual_display_source.h"

namespace velmora {
namespace {

// Only the latest 10,000 events are kept, so a long-running virtual host stays bounded.
TEST(VirtualInputBackendTest, DisplayBoundsHangFromTheMainDisplayAndTheLatestTenThousandEventsAreRecorded) {
  // Left to right along the bottom edge: main 1920x1080, then 1280x800, then 2560x1440.
  auto displays = std::make_shared<VirtualDisplaySource>(
      VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}, {2560, 1440, 1}});
  VirtualInputBackend backend{displays};
  EXPECT_EQ(backend.displayBounds(1), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(backend.displayBounds(2), (Rect{1920, 280, 1280, 800}));
  EXPECT_EQ(backend.displayBounds(3), (Rect{3200, -360, 2560, 1440}));
  EXPECT_EQ(backend.displayBounds(4), Rect{});

  displays->setLayout({{800, 600, 1}});
  EXPECT_EQ(backend.displayBounds(2), Rect{});
  EXPECT_EQ(backend.activeDisplayIDs(), (std::vector<std::uint32_t>{1}));

  const PointerEvent press{PointerEventType::leftMouseDown, {30, 40}, PointerButton::left, 0, 1, {}, {}};
  backend.postPointerEvent(press);
  EXPECT_TRUE(backend.postKeyboardEvent({7, true, EventFlags::command}));
  EXPECT_EQ(backend.pointerLocation(), (GlobalPoint{30, 40}));
  EXPECT_EQ(backend.events(), (std::vector<RecordedInputEvent>{press, KeyboardEvent{7, true, EventFlags::command}}));

  for (std::int32_t i = 0; i < 10'005; ++i) {
    backend.postScrollWheelEvent({ScrollUnit::line, i, 0, 0});
  }
  const auto events = backend.events();
  ASSERT_EQ(events.size(), 10'000u);
  EXPECT_EQ(std::get<ScrollWheelEvent>(events.front()).wheel1, 5);
  EXPECT_EQ(std::get<ScrollWheelEvent>(events.back()).wheel1, 10'004);
}

}  // namespace
}  // namespace velmora
