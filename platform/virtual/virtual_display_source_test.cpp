#include "platform/virtual/virtual_display_source.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(VirtualDisplaySourceTest, ParsesLayoutsAndRefusesMalformedOnesNamingTheEntry) {
  auto layout = parseVirtualDisplayLayout("1920x1080,1280x800@2,1024.5x768@1.5");
  ASSERT_TRUE(layout.ok()) << layout.error();
  EXPECT_EQ(layout.value(), (VirtualDisplayLayout{{1920, 1080, 1}, {1280, 800, 2}, {1024.5, 768, 1.5}}));

  for (const char* text : {"", "1920x", "1920x1080,", "1920x-5", "1920x1080@0.5", "1920x1080@nan", "1920x1080x3",
                           "99999x1080", "1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1,1x1"}) {
    EXPECT_FALSE(parseVirtualDisplayLayout(text).ok()) << "accepted '" << text << "'";
  }
  EXPECT_NE(parseVirtualDisplayLayout("1920x1080,0x5").error().find("'0x5'"), std::string::npos);
}

TEST(VirtualDisplaySourceTest, PlacesDisplaysLeftToRightWithTheFirstMain) {
  VirtualDisplaySource source({{1920, 1080, 1}, {1280, 800, 2}});

  const auto screens = source.screens();
  ASSERT_EQ(screens.size(), 2u);
  EXPECT_EQ(screens[1].frame, (Rect{1920, 0, 1280, 800}));
  EXPECT_EQ(screens[1].backingScaleFactor, 2);
  EXPECT_EQ(source.mainDisplayID(), 1u);
  EXPECT_EQ(source.activeDisplayIDs(), (std::vector<std::uint32_t>{1, 2}));
}

}  // namespace
}  // namespace velmora
