#include "platform/virtual/virtual_display_source.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(VirtualDisplaySourceTest, ParsesSizesAndOptionalScale) {
  auto layout = parseVirtualDisplayLayout("1920x1080,1280x800@2,1024.5x768@1.5");
  ASSERT_TRUE(layout.ok()) << layout.error();
  EXPECT_EQ(layout.value(), (VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}, {1024.5, 768, 1.5}}));
}

TEST(VirtualDisplaySourceTest, RefusesMalformedLayoutsWithTheOffendingEntry) {
  for (const char* text : {"", "1920", "1920x", "x1080", "1920x1080,", "0x1080", "1920x-5", "1920x1080@0.5",
                           "1920x1080@", "1920x1080@nan", "1920x1080@inf", "99999x1080", "1920x1080x3", "a x b",
                           "1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1"}) {
    auto layout = parseVirtualDisplayLayout(text);
    EXPECT_FALSE(layout.ok()) << "accepted '" << text << "'";
  }
  EXPECT_EQ(parseVirtualDisplayLayout("1920x1080,0x5").error(),
            "invalid virtual display '0x5': width and height must be between 1 and 16384 points");
}

TEST(VirtualDisplaySourceTest, PlacesDisplaysLeftToRightWithTheFirstMain) {
  VirtualDisplaySource source({{1920, 1080, 1}, {1280, 800, 2}});

  const auto screens = source.screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[1].displayID, 2u);
  EXPECT_EQ(screens[1].frame, (Rect{1920, 0, 1280, 800}));
  EXPECT_EQ(screens[1].backingScaleFactor, 2);
  EXPECT_EQ(source.mainDisplayID(), 1u);
  EXPECT_EQ(source.activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));

  source.setLayout({});
  EXPECT_TRUE(source.screens().empty());
  EXPECT_TRUE(source.activeDisplayIDs().empty());
}

}  // namespace
}  // namespace velmora
