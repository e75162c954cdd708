#include "platform/desktop/input_display_geometry.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

class FixedDisplaySource : public DisplaySource {
 public:
  FixedDisplaySource(std::vector<ScreenDescription> screens, std::uint32_t mainDisplayID)
      : screens_(std::move(screens)), mainDisplayID_(mainDisplayID) {}
  std::vector<ScreenDescription> screens() const override { return screens_; }
  std::uint32_t mainDisplayID() const override { return mainDisplayID_; }
  std::vector<std::uint32_t> activeDisplayIDs() const override { return {mainDisplayID_}; }
  std::uint32_t mirroredDisplayID(std::uint32_t) const override { return 0; }

 private:
  const std::vector<ScreenDescription> screens_;
  const std::uint32_t mainDisplayID_;
};

TEST(InputDisplayGeometryTest, DisplaySourceFramesBecomeInputBoundsYDownFromTheMainDisplaysTopLeft) {
  // The main display 1920x1080; one 1280x800 to its right, top-aligned; one 800x600 below it;
  // one 1024x768 above it. Frames are y up from the main display's lower-left corner.
  const FixedDisplaySource source({{1, "main", {0, 0, 1920, 1080}},
                                   {2, "right", {1920, 280, 1280, 800}},
                                   {3, "below", {0, -600, 800, 600}},
                                   {4, "above", {100, 1080, 1024, 768}}},
                                  1);
  const InputDisplayGeometry geometry(std::shared_ptr<const DisplaySource>(&source, [](const DisplaySource*) {}));
  const struct {
    std::uint32_t displayID;
    Rect bounds;
  } cases[] = {
      {1, {0, 0, 1920, 1080}}, {2, {1920, 0, 1280, 800}}, {3, {0, 1080, 800, 600}},
      {4, {100, -768, 1024, 768}}, {0, {}},                 {99, {}},
  };
  for (const auto& [displayID, bounds] : cases) {
    EXPECT_EQ(geometry.displayBounds(displayID), bounds) << displayID;
  }
  EXPECT_EQ(geometry.mainDisplayID(), 1u);
  EXPECT_EQ(geometry.allBounds().size(), 4u);
  // The conversion is its own inverse: a desktop's y-down layout gives the frames back.
  for (const auto& screen : source.screens()) {
    EXPECT_EQ(flippedAboutMainDisplay(geometry.displayBounds(screen.displayID), Rect{0, 0, 1920, 1080}), screen.frame)
        << screen.name;
  }
}

}  // namespace
}  // namespace velmora
