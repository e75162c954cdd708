#include "platform/x11/x11_monitor_layout.h"

#include <gtest/gtest.h>

#include <climits>

namespace velmora {
namespace {

X11Monitor monitor(std::uint32_t displayID, PixelRect area, bool isPrimary = false) {
  return X11Monitor{displayID, "M" + std::to_string(displayID), isPrimary, area};
}

TEST(X11MonitorLayoutTest, FramesArePointsFromTheMainMonitorsLowerLeftCornerWithYUp) {
  struct Case {
    const char* what;
    std::vector<X11Monitor> monitors;
    double scale;
    std::vector<Rect> frames;
  };
  const std::vector<Case> cases = {
      {"no primary: the first is main",
       {monitor(7, {0, 0, 1920, 1080}), monitor(9, {1920, 0, 1280, 1024})},
       1,
       {{0, 0, 1920, 1080}, {1920, 56, 1280, 1024}}},
      {"a monitor above the main one has a positive y",
       {monitor(7, {0, 1080, 1920, 1080}, true), monitor(9, {320, 0, 1280, 1080})},
       1,
       {{0, 0, 1920, 1080}, {320, 1080, 1280, 1080}}},
      {"pixels become points at the scale",
       {monitor(7, {0, 0, 3840, 2160}, true), monitor(9, {3840, 0, 1920, 1080})},
       2,
       {{0, 0, 1920, 1080}, {1920, 540, 960, 540}}},
  };
  for (const auto& testCase : cases) {
    const auto descriptions = screenDescriptions(testCase.monitors, testCase.scale);
    ASSERT_EQ(descriptions.size(), testCase.frames.size()) << testCase.what;
    for (std::size_t index = 0; index < descriptions.size(); ++index) {
      EXPECT_EQ(descriptions[index].frame, testCase.frames[index]) << testCase.what << ", monitor " << index;
      EXPECT_EQ(descriptions[index].displayID, testCase.monitors[index].displayID) << testCase.what;
    }
  }
  EXPECT_TRUE(screenDescriptions({}, 1).empty());
  EXPECT_EQ(mainMonitorID({}), 0U);
}

TEST(X11MonitorLayoutTest, AMonitorWithTheAreaOfAnEarlierOneMirrorsIt) {
  const std::vector<X11Monitor> monitors = {monitor(3, {0, 0, 1920, 1080}), monitor(4, {1920, 0, 1920, 1080}),
                                            monitor(5, {0, 0, 1920, 1080}), monitor(6, {0, 0, 1920, 1080}),
                                            monitor(7, {0, 0, 1920, 1200})};
  EXPECT_EQ(mirroredMonitorID(monitors, 3), 0U) << "the first of a kind mirrors nothing";
  EXPECT_EQ(mirroredMonitorID(monitors, 4), 0U) << "same size elsewhere is no mirror";
  EXPECT_EQ(mirroredMonitorID(monitors, 5), 3U);
  EXPECT_EQ(mirroredMonitorID(monitors, 6), 3U) << "mirrors the first one, not the mirror before it";
  EXPECT_EQ(mirroredMonitorID(monitors, 7), 0U) << "same origin, other size";
  EXPECT_EQ(mirroredMonitorID(monitors, 99), 0U) << "unknown number";
}

TEST(X11MonitorLayoutTest, RectanglesThatOnlyTouchDoNotIntersect) {
  const PixelRect monitorArea{1920, 0, 1920, 1080};
  EXPECT_FALSE(monitorArea.intersects({0, 0, 1920, 1080}));
  EXPECT_TRUE(monitorArea.intersects({0, 0, 1921, 1}));
  EXPECT_FALSE(monitorArea.intersects({2000, 10, 0, 10})) << "empty";
  EXPECT_EQ(monitorArea.intersection({3000, -50, 5000, 100}), (PixelRect{3000, 0, 840, 50}));
  EXPECT_EQ((PixelRect{INT_MAX - 10, INT_MAX - 10, INT_MAX, INT_MAX}).intersection({0, 0, INT_MAX, INT_MAX}),
            (PixelRect{INT_MAX - 10, INT_MAX - 10, 10, 10}))
      << "no overflow with a hostile server's extremes";
}

TEST(X11MonitorLayoutTest, ScaleComesFromXftDpiWhenItIsASensibleResolution) {
  const std::pair<const char*, double> cases[] = {
      {"", 1},
      {"Xcursor.size:\t24\nXft.dpi:\t192\nXft.antialias:\t1\n", 2},
      {"  Xft.dpi :  120  ", 1.25},
      {"Xft.dpi:\t96\nXft.dpi:\t144\n", 1.5},
      {"Xft.dpi:\t144\nXft.dpi:\tlarge\n", 1},
      {"Xft.dpix:\t144\n*dpi:\t144\n", 1},
      {"Xft.dpi:\t144abc\n", 1}, {"Xft.dpi:\t-96\n", 1}, {"Xft.dpi:\tnan\n", 1}, {"Xft.dpi:\t1e308\n", 1},
      {"Xft.dpi", 1},
  };
  for (const auto& [resources, scale] : cases) {
    EXPECT_EQ(scaleFromResources(resources), scale) << resources;
  }
}

std::vector<std::uint8_t> edidWithDescriptors(const std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>& descriptors) {
  std::vector<std::uint8_t> edid(128, 0);
  const std::uint8_t header[] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
  std::copy(std::begin(header), std::end(header), edid.begin());
  for (const auto& [offset, bytes] : descriptors) {
    std::copy(bytes.begin(), bytes.end(), edid.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  return edid;
}

std::vector<std::uint8_t> textDescriptor(std::uint8_t tag, const std::string& text) {
  std::vector<std::uint8_t> descriptor(18, ' ');
  descriptor[0] = descriptor[1] = descriptor[2] = descriptor[4] = 0;
  descriptor[3] = tag;
  for (std::size_t index = 0; index < text.size() && index < 13; ++index) {
    descriptor[5 + index] = static_cast<std::uint8_t>(text[index]);
  }
  return descriptor;
}

TEST(X11MonitorLayoutTest, EdidProductNameComesFromTheNameDescriptorAndRejectsMalformedBlocks) {
  const std::vector<std::uint8_t> timing = {0x02, 0x3a, 0x80, 0x18, 0x71, 0x38};
  struct Case {
    const char* what;
    std::vector<std::uint8_t> edid;
    std::optional<std::string> name;
  };
  auto badHeader = edidWithDescriptors({{90, textDescriptor(0xfc, "DELL U2720Q\n")}});
  badHeader[1] = 0;
  auto truncated = edidWithDescriptors({{54, textDescriptor(0xfc, "DELL U2720Q\n")}});
  truncated.resize(100);
  const std::vector<Case> cases = {
      {"name after a timing and a serial descriptor",
       edidWithDescriptors({{54, timing}, {72, textDescriptor(0xff, "SERIAL123\n")}, {90, textDescriptor(0xfc, "DELL U2720Q\n")}}),
       "DELL U2720Q"},
      {"control bytes and high bytes dropped", edidWithDescriptors({{54, textDescriptor(0xfc, "A\x01\xe9Z\n")}}), "AZ"},
      {"a timing descriptor with tag-like bytes is no name", edidWithDescriptors({{54, {0x01, 0, 0, 0xfc, 0, 'X', '\n'}}}),
       std::nullopt},
      {"bad header", badHeader, std::nullopt},
      {"shorter than a block", truncated, std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const auto& testCase : cases) {
    EXPECT_EQ(edidProductName(testCase.edid), testCase.name) << testCase.what;
  }
}

}  // namespace
}  // namespace velmora
