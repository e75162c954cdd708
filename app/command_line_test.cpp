#include "app/command_line.h"

#include <gtest/gtest.h>

namespace velmora {
namespace {

TEST(CommandLineTest, ReadsEveryOptionInBothSpellingsAndHasDefaults) {
  auto options = parseHostOptions({"--headless", "--backend", "virtual", "--virtual-displays=1280x800@2,1920x1080",
                                   "--log-level=debug", "--log-private", "--trust-days", "0", "--always-ask-code",
                                   "--forget-trusted=all"});
  ASSERT_TRUE(options.ok()) << options.error();
  EXPECT_TRUE(options.value().headless);
  EXPECT_EQ(options.value().backend, Backend::virtualDisplays);
  EXPECT_EQ(options.value().virtualDisplays, (VirtualDisplayLayout{{1280, 800, 2}, {1920, 1080, 1}}));
  EXPECT_EQ(options.value().logLevel, log::Level::debug);
  EXPECT_TRUE(options.value().logPrivate);
  EXPECT_TRUE(options.value().virtualDisplaysGiven);
  EXPECT_EQ(options.value().trustDays, 0);
  EXPECT_TRUE(options.value().alwaysAskForCode);
  EXPECT_EQ(options.value().forgetTrusted, "all");

  // The defaults: one full-HD virtual display, the backend chosen automatically.
  options = parseHostOptions({});
  ASSERT_TRUE(options.ok());
  EXPECT_EQ(options.value().backend, Backend::automatic);
  EXPECT_EQ(options.value().virtualDisplays, (VirtualDisplayLayout{{1920, 1080, 1}}));
  EXPECT_FALSE(options.value().headless || options.value().virtualDisplaysGiven || options.value().alwaysAskForCode);
  EXPECT_EQ(options.value().trustDays, 90);
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
      {{"--backend"}, "--backend takes auto, wlroots, kwin, gnome, portal, x11 or virtual"},
      {{"--backend", "wayland"}, "--backend takes auto, wlroots, kwin, gnome, portal, x11 or virtual"},
      {{"--log-level", "verbose"}, "--log-level takes debug, info, default or error"},
      {{"--trust-days", "-1"}, "--trust-days takes a number of days from 0 to 36500"},
      {{"--trust-days=99999999999"}, "--trust-days takes a number of days from 0 to 36500"},
      {{"--trust-days"}, "--trust-days takes a number of days from 0 to 36500"},
      {{"--forget-trusted"}, "--forget-trusted needs a device's identifier (see --list-trusted) or 'all'"},
      {{"--always-ask-code=yes"}, "unknown option '--always-ask-code=yes'"},
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
