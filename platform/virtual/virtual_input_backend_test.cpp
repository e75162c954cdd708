#include "platform/virtual/virtual_input_backend.h"

#include <gtest/gtest.h>

#include "platform/virtual/virtual_display_source.h"

namespace velmora {
namespace {

class VirtualInputBackendTest : public ::testing::Test {
 protected:
  // Left to right along the bottom edge: main 1920x1080, then 1280x800, then 2560x1440.
  std::shared_ptr<VirtualDisplaySource> displays = std::make_shared<VirtualDisplaySource>(
      VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}, {2560, 1440, 1}});
  VirtualInputBackend backend{displays};
};

TEST_F(VirtualInputBackendTest, DisplayBoundsHangFromTheMainDisplaysTopLeftCorner) {
  EXPECT_EQ(backend.mainDisplayID(), 1u);
  EXPECT_EQ(backend.activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(backend.displayBounds(1), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(backend.displayBounds(2), (Rect{1920, 280, 1280, 800}));
  EXPECT_EQ(backend.displayBounds(3), (Rect{3200, -360, 2560, 1440}));
  EXPECT_EQ(backend.displayBounds(4), Rect{});
  EXPECT_EQ(backend.displayBounds(0), Rect{});

  displays->setLayout({{800, 600, 1}});
  EXPECT_EQ(backend.displayBounds(2), Rect{});
  EXPECT_EQ(backend.activeDisplayIDs(), (std::vector<std::uint32_t>{1}));
}

TEST_F(VirtualInputBackendTest, PointerFollowsPostedPointerEventsAndEveryEventIsRecorded) {
  const PointerEvent press{PointerEventType::leftMouseDown, {30, 40}, PointerButton::left, 0, 1, {}, {}};
  backend.postPointerEvent(press);
  backend.postScrollWheelEvent({ScrollUnit::line, -3, 2, 0});
  EXPECT_TRUE(backend.postKeyboardEvent({7, true, EventFlags::command}));
  backend.postUnicodeString("h\xC3\xA9");

  EXPECT_EQ(backend.pointerLocation(), (GlobalPoint{30, 40}));
  const std::vector<RecordedInputEvent> expected = {press, ScrollWheelEvent{ScrollUnit::line, -3, 2, 0},
                                                    KeyboardEvent{7, true, EventFlags::command},
                                                    TypedTextEvent{"h\xC3\xA9"}};
  EXPECT_EQ(backend.events(), expected);

  backend.setPointerLocationReadable(false);
  EXPECT_FALSE(backend.pointerLocation().has_value());
  backend.setKeyboardEventsFail(true);
  EXPECT_FALSE(backend.postKeyboardEvent({7, false, 0}));
  EXPECT_EQ(backend.events().size(), 4u);
}

TEST_F(VirtualInputBackendTest, KeepsTheLatestTenThousandEvents) {
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
