#include "app/command_line.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(CommandLineTest, ReadsEveryOptionInBothSpellingsAndHasDefaults) {
  auto options = parseHostOptions({"--headless", "--backend", "virtual", "--virtual-displays=1280x800@2,1920x1080",
                                   "--log-level=debug", "--log-private"});
  ASSERT_TRUE(options.ok()) << options.error();
  EXPECT_TRUE(options.value().headless);
  EXPECT_EQ(options.value().backend, Backend::virtualDisplays);
  EXPECT_EQ(options.value().virtualDisplays, (VirtualDisplayLayout{{1280, 800, 2}, {1920, 1080, 1}}));
  EXPECT_EQ(options.value().logLevel, log::Level::debug);
  EXPECT_TRUE(options.value().logPrivate);
  EXPECT_TRUE(options.value().virtualDisplaysGiven);

  // The defaults: one full-HD virtual display, the backend chosen automatically.
  options = parseHostOptions({});
  ASSERT_TRUE(options.ok());
  EXPECT_EQ(options.value().backend, Backend::automatic);
  EXPECT_EQ(options.value().virtualDisplays, (VirtualDisplayLayout{{1920, 1080, 1}}));
  EXPECT_FALSE(options.value().headless || options.value().virtualDisplaysGiven);
  EXPECT_EQ(parseHostOptions({"--backend=portal"}).value().backend, Backend::portal);
  EXPECT_EQ(parseHostOptions({"--backend=gnome"}).value().backend, Backend::gnome);
}

TEST(CommandLineTest, BadArgumentsAreNamedInTheError) {
  struct Case {
    std::vector<std::string> arguments;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{"--frobnicate"}, "unknown option '--frobnicate'"},
      {{"--backend"}, "--backend takes auto, wlroots, gnome, portal, x11 or virtual"},
      {{"--backend", "wayland"}, "--backend takes auto, wlroots, gnome, portal, x11 or virtual"},
      {{"--log-level", "verbose"}, "--log-level takes debug, info, default or error"},
      {{"--virtual-displays"}, "--virtual-displays needs a layout such as 1920x1080,1280x800@2"},
      {{"--virtual-displays", "axb"}, "invalid virtual display 'axb': expected WIDTHxHEIGHT[@SCALE] with numbers"},
  };
  for (const auto& testCase : cases) {
    auto options = parseHostOptions(testCase.arguments);
    ASSERT_FALSE(options.ok()) << testCase.arguments[0];
    EXPECT_EQ(options.error(), testCase.error);
  }
}

}  // namespace
}  // namespace velmora
